// The endpoint directory changed under live hosts after a client connected
// to one of them: replaced by a symbolic link, opened up to other users, or
// given to another owner. Every new connection is refused with the
// directory's own error: a first call to another endpoint, a new duplex
// session. Connections made before stay in use, since the directory only
// decides which peer a connection reaches and theirs was checked when they
// were made. Once the directory is put back, new connections work again.
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
        otherHost_(std::make_unique<NamedPipeServiceHost>(data_, kPid, "Other")),
        shutdownHost_(std::make_unique<NamedPipeServiceHost>(shutdown_, kPid, "Shutdown")) {
    dataHost_->AddServiceEndpoint(TypeOf<IDataService>());
    dataHost_->Open();
    otherHost_->AddServiceEndpoint(TypeOf<IDataService>());
    otherHost_->Open();
    shutdownHost_->AddServiceEndpoint(TypeOf<IShutdown>());
    shutdownHost_->Open();
    channel_ = NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Data");
    // The connection is made and cached.
    EXPECT_TRUE(channel_->IsUserRestricted(u"", u"", u""));
  }

  // Every new connection is refused with `expected`: the first call to the
  // endpoint "Other", a new duplex session. Calls over the connection made
  // before, on the same or on a new channel, still reach their host.
  void ExpectNewConnectionsRefused(const std::string& expected) {
    const std::function<void()> attempts[] = {
        [&] {
          NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Other")
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
        ADD_FAILURE() << "a new connection went through a changed endpoint directory";
      } catch (const AddressAccessDeniedException& e) {
        EXPECT_THAT(e.what(),
                    AllOf(HasSubstr("process 6160, endpoint "),
                          HasSubstr("the endpoint directory " + path_), HasSubstr(expected)));
      }
    }
    EXPECT_TRUE(channel_->IsUserRestricted(u"", u"", u""));
    EXPECT_TRUE(NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Data")
                    ->IsUserRestricted(u"", u"", u""));
  }

  void ExpectServed() {
    EXPECT_TRUE(channel_->IsUserRestricted(u"", u"", u""));
    EXPECT_TRUE(NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Other")
                    ->IsUserRestricted(u"", u"", u""));
    auto session = DuplexChannelFactory<IShutdown>::CreateChannel(
        std::make_shared<ScriptedCallback>(), kPid, "Shutdown");
    session->Ping();
  }

  PrivatePipeDir dir_;
  const std::string path_;
  std::shared_ptr<FakeDataService> data_ = std::make_shared<FakeDataService>();
  std::shared_ptr<RecordingShutdown> shutdown_ = std::make_shared<RecordingShutdown>();
  std::unique_ptr<NamedPipeServiceHost> dataHost_;
  std::unique_ptr<NamedPipeServiceHost> otherHost_;
  std::unique_ptr<NamedPipeServiceHost> shutdownHost_;
  std::shared_ptr<IDataService> channel_;
};

TEST_F(EndpointDirectoryTest, DirectoryReplacedByALinkRefusesNewConnections) {
  auto session = DuplexChannelFactory<IShutdown>::CreateChannel(
      std::make_shared<ScriptedCallback>(), kPid, "Shutdown");
  const std::string moved = path_ + ".moved";
  ASSERT_EQ(::rename(path_.c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), path_.c_str()), 0);
  ExpectNewConnectionsRefused("is a symbolic link");
  session->Ping();

  ASSERT_EQ(::unlink(path_.c_str()), 0);
  ASSERT_EQ(::rename(moved.c_str(), path_.c_str()), 0);
  ExpectServed();
}

TEST_F(EndpointDirectoryTest, DirectoryOpenedToOthersRefusesNewConnections) {
  ASSERT_EQ(::chmod(path_.c_str(), 0755), 0);
  ExpectNewConnectionsRefused("has mode 0755, expected 0700");
  ASSERT_EQ(::chmod(path_.c_str(), 0700), 0);
  ExpectServed();
}

TEST_F(EndpointDirectoryTest, DirectoryGivenToAnotherOwnerRefusesNewConnections) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give the directory away";
  ASSERT_EQ(::chown(path_.c_str(), 65534, static_cast<gid_t>(-1)), 0);
  ExpectNewConnectionsRefused("is owned by uid 65534, not by uid 0");
  ASSERT_EQ(::chown(path_.c_str(), 0, static_cast<gid_t>(-1)), 0);
  ExpectServed();
}

}  // namespace
}  // namespace Norv::ServiceModel
