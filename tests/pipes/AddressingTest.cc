// The endpoint directory's checks and the socket naming, through the host and
// channels that rely on them.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/pipes/Addressing.h"
#include "tests/pipes/TestServices.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::FakeDataService;
using Norv::Testing::IDataService;
using Norv::Testing::ScopedEnv;
using Norv::Testing::TempDir;
using ::testing::HasSubstr;

void OpenHostIn(const std::string& dir) {
  ScopedEnv env("NORV_PIPE_DIR", dir);
  NamedPipeServiceHost host(std::make_shared<FakeDataService>(), 77, "Checked");
  host.AddServiceEndpoint(TypeOf<IDataService>());
  host.Open();
}

TEST(EndpointDirectory, IsCreatedPrivateAndFollowsTheEnvironment) {
  TempDir temp;
  std::string dir = (temp.Path() / "made").string();
  {
    ScopedEnv env("NORV_PIPE_DIR", dir);
    EXPECT_EQ(internal::EndpointDirectory(), dir);
  }
  {
    ScopedEnv unset("NORV_PIPE_DIR", std::nullopt);
    ScopedEnv runtime("XDG_RUNTIME_DIR", temp.Path().string());
    EXPECT_EQ(internal::EndpointDirectory(), temp.Path().string() + "/norv");
  }
  {
    ScopedEnv unset("NORV_PIPE_DIR", std::nullopt);
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(internal::EndpointDirectory(), "/tmp/norv-" + std::to_string(::geteuid()));
  }
  mode_t old = ::umask(0077);
  OpenHostIn(dir);
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // Close removed the socket and the lock file.
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST(EndpointDirectory, WrongModeIsRefusedByHostsAndChannels) {
  TempDir temp;
  std::string dir = (temp.Path() / "open").string();
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  try {
    OpenHostIn(dir);
    FAIL() << "Open accepted a directory with mode 0755";
  } catch (const AddressAccessDeniedException& e) {
    EXPECT_THAT(e.what(), HasSubstr("mode 0755, expected 0700"));
    EXPECT_THAT(e.what(), HasSubstr(dir));
  }
  ScopedEnv env("NORV_PIPE_DIR", dir);
  auto channel = NamedPipeServiceHost::GetSingleChannel<IDataService>(77, "Checked");
  EXPECT_THROW(channel->IsProjectAdmin(u"", u"", u""), AddressAccessDeniedException);
}

TEST(EndpointDirectory, SymbolicLinkIsRefused) {
  TempDir temp;
  std::string real = (temp.Path() / "real").string();
  std::string link = (temp.Path() / "link").string();
  ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  try {
    OpenHostIn(link);
    FAIL() << "Open followed a symbolic link";
  } catch (const AddressAccessDeniedException& e) {
    EXPECT_THAT(e.what(), HasSubstr("symbolic link"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(real));
}

TEST(EndpointDirectory, AnotherOwnerIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a directory away needs root";
  TempDir temp;
  std::string dir = (temp.Path() / "theirs").string();
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
  try {
    OpenHostIn(dir);
    FAIL() << "Open accepted a directory owned by another user";
  } catch (const AddressAccessDeniedException& e) {
    EXPECT_THAT(e.what(), HasSubstr("owned by uid 65534"));
  }
}

TEST(EndpointDirectory, NonDirectoryIsRefused) {
  TempDir temp;
  std::string file = (temp.Path() / "file").string();
  std::FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_THROW(OpenHostIn(file), AddressAccessDeniedException);
}

TEST(SocketNames, AreEncodedAndBounded) {
  EXPECT_EQ(internal::EncodeEndpointName("Norv.ServiceModel.Contracts.Service.IDataService"),
            "Norv.ServiceModel.Contracts.Service.IDataService");
  EXPECT_EQ(internal::EncodeEndpointName("a/b c%"), "a%2Fb%20c%25");
  EXPECT_EQ(internal::EncodeEndpointName(".."), "..");
  EXPECT_EQ(internal::SocketPath("/d", -5, "a/b"), "/d/-5.a%2Fb.sock");
  EXPECT_THROW(internal::EncodeEndpointName(""), std::invalid_argument);
  EXPECT_THROW(NamedPipeServiceHost::GetSingleChannel<IDataService>(1, ""), std::invalid_argument);

  TempDir temp;
  std::string deep = (temp.Path() / std::string(120, 'd')).string();
  try {
    OpenHostIn(deep);
    FAIL() << "Open accepted a socket path longer than sun_path";
  } catch (const AddressAccessDeniedException& e) {
    EXPECT_THAT(e.what(), HasSubstr("a Unix socket address can hold"));
  }
}

}  // namespace
}  // namespace Norv::ServiceModel
