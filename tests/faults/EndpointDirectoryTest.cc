// The endpoint directory changed under a live host after a client cached a
// connection to it: replaced by a symbolic link, opened up to other users,
// or given to another owner. The next call, on the cached channel or a new
// one, is refused with the directory's own error; once the directory is put
// back, calls reach the host again.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/pipes/TestServices.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::FakeDataService;
using Norv::Testing::IDataService;
using Norv::Testing::IShutdown;
using Norv::Testing::PrivatePipeDir;
using Norv::Testing::RecordingShutdown;
using Norv::Testing::ScriptedCallback;
using ::testing::AllOf;
using ::testing::HasSubstr;

constexpr std::int32_t kPid = 6160;

class EndpointDirectoryTest : public ::testing::Test {
 protected:
  EndpointDirectoryTest()
      : path_((dir_.Path() / "pipes").string()),
        dataHost_(std::make_unique<NamedPipeServiceHost>(data_, kPid, "Data")),
        shutdownHost_(std::make_unique<NamedPipeServiceHost>(shutdown_, kPid, "Shutdown")) {
    dataHost_->AddServiceEndpoint(TypeOf<IDataService>());
    dataHost_->Open();
    shutdownHost_->AddServiceEndpoint(TypeOf<IShutdown>());
    shutdownHost_->Open();
    channel_ = NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Data");
    // The connection is made and cached.
    EXPECT_TRUE(channel_->IsUserRestricted(u"", u"", u""));
  }

  // Every way in is refused with `expected`: the cached channel, a new
  // channel, a new duplex session. The session opened before keeps working:
  // its connection was checked when it was made.
  void ExpectRefused(const std::string& expected) {
    const std::function<void()> attempts[] = {
        [&] { channel_->IsUserRestricted(u"", u"", u""); },
        [&] {
          NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Data")
              ->IsUserRestricted(u"", u"", u"");
        },
        [&] {
          DuplexChannelFactory<IShutdown>::CreateChannel(std::make_shared<ScriptedCallback>(), kPid,
                                                         "Shutdown");
        },
    };
    for (const auto& attempt : attempts) {
      try {
        attempt();
        ADD_FAILURE() << "a call went through a changed endpoint directory";
      } catch (const AddressAccessDeniedException& e) {
        EXPECT_THAT(e.what(),
                    AllOf(HasSubstr("process 6160, endpoint "),
                          HasSubstr("the endpoint directory " + path_), HasSubstr(expected)));
      }
    }
  }

  void ExpectServed() {
    EXPECT_TRUE(channel_->IsUserRestricted(u"", u"", u""));
    auto session = DuplexChannelFactory<IShutdown>::CreateChannel(
        std::make_shared<ScriptedCallback>(), kPid, "Shutdown");
    session->Ping();
  }

  PrivatePipeDir dir_;
  const std::string path_;
  std::shared_ptr<FakeDataService> data_ = std::make_shared<FakeDataService>();
  std::shared_ptr<RecordingShutdown> shutdown_ = std::make_shared<RecordingShutdown>();
  std::unique_ptr<NamedPipeServiceHost> dataHost_;
  std::unique_ptr<NamedPipeServiceHost> shutdownHost_;
  std::shared_ptr<IDataService> channel_;
};

TEST_F(EndpointDirectoryTest, DirectoryReplacedByALinkRefusesTheNextCall) {
  auto session = DuplexChannelFactory<IShutdown>::CreateChannel(
      std::make_shared<ScriptedCallback>(), kPid, "Shutdown");
  const std::string moved = path_ + ".moved";
  ASSERT_EQ(::rename(path_.c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), path_.c_str()), 0);
  ExpectRefused("is a symbolic link");
  session->Ping();

  ASSERT_EQ(::unlink(path_.c_str()), 0);
  ASSERT_EQ(::rename(moved.c_str(), path_.c_str()), 0);
  ExpectServed();
}

TEST_F(EndpointDirectoryTest, DirectoryOpenedToOthersRefusesTheNextCall) {
  ASSERT_EQ(::chmod(path_.c_str(), 0755), 0);
  ExpectRefused("has mode 0755, expected 0700");
  ASSERT_EQ(::chmod(path_.c_str(), 0700), 0);
  ExpectServed();
}

TEST_F(EndpointDirectoryTest, DirectoryGivenToAnotherOwnerRefusesTheNextCall) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the directory away";
  ASSERT_EQ(::chown(path_.c_str(), 65534, static_cast<gid_t>(-1)), 0);
  ExpectRefused("is owned by uid 65534, not by uid 0");
  ASSERT_EQ(::chown(path_.c_str(), 0, static_cast<gid_t>(-1)), 0);
  ExpectServed();
}

}  // namespace
}  // namespace Norv::ServiceModel
