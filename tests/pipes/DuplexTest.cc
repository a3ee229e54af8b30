// Duplex sessions of IShutdown: calls, callbacks, the callback channel's
// connection state, time-outs, and a host closing under live sessions.
#include <filesystem>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/pipes/TestServices.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::ChildProcess;
using Norv::Testing::Eventually;
using Norv::Testing::IShutdown;
using Norv::Testing::IShutdownCallback;
using Norv::Testing::PeerArgv;
using Norv::Testing::PrivatePipeDir;
using Norv::Testing::RecordingShutdown;
using Norv::Testing::ScriptedCallback;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

constexpr std::int32_t kPid = 100;

class DuplexTest : public ::testing::Test {
 protected:
  DuplexTest()
      : saved_(NamedPipeServiceHost::GetTimeouts()),
        service_(std::make_shared<RecordingShutdown>()),
        host_(std::make_unique<NamedPipeServiceHost>(service_, kPid, "Shutdown")) {
    host_->AddServiceEndpoint(TypeOf<IShutdown>());
    host_->AddMexServiceEndpoint();
    host_->Open();
  }
  ~DuplexTest() override { NamedPipeServiceHost::SetTimeouts(saved_); }

  std::shared_ptr<DuplexChannel<IShutdown>> Connect(std::shared_ptr<ScriptedCallback> callback) {
    return DuplexChannelFactory<IShutdown>::CreateChannel(std::move(callback), kPid, "Shutdown");
  }

  PrivatePipeDir dir_;
  Timeouts saved_;
  std::shared_ptr<RecordingShutdown> service_;
  std::unique_ptr<NamedPipeServiceHost> host_;
};

TEST_F(DuplexTest, CallsAndCallbacksTravelBothWays) {
  auto first = std::make_shared<ScriptedCallback>();
  auto second = std::make_shared<ScriptedCallback>();
  second->onRequest = [] { return false; };
  auto a = Connect(first);
  auto b = Connect(second);
  a->Subscribe(1);
  b->Subscribe(2);
  a->Ping();
  EXPECT_EQ(service_->pings, 1);
  EXPECT_THAT(service_->Keys(), UnorderedElementsAre(1, 2));

  auto channelA = service_->Channel(1);
  auto channelB = service_->Channel(2);
  EXPECT_TRUE(NamedPipeServiceHost::IsConnected(channelA));
  EXPECT_TRUE(channelA->RequestShutdown());
  EXPECT_FALSE(channelB->RequestShutdown());
  channelB->ForceShutdown();
  EXPECT_EQ(first->requests, 1);
  EXPECT_EQ(second->requests, 1);
  EXPECT_EQ(second->forced, 1);

  // Every operation of one session gets the same channel.
  a->Subscribe(3);
  EXPECT_EQ(service_->Channel(3), channelA);
  a->Unsubscribe(3);
  EXPECT_THAT(service_->Keys(), UnorderedElementsAre(1, 2));

  // Closing the session disconnects its channel, which stays a light handle.
  a->Close();
  EXPECT_FALSE(a->IsOpen());
  EXPECT_TRUE(Eventually([&] { return !NamedPipeServiceHost::IsConnected(channelA); }));
  EXPECT_THROW(channelA->RequestShutdown(), CommunicationException);
  EXPECT_THROW(a->Ping(), CommunicationException);
  EXPECT_TRUE(NamedPipeServiceHost::IsConnected(channelB));
  EXPECT_FALSE(NamedPipeServiceHost::IsConnected(nullptr));
  EXPECT_FALSE(NamedPipeServiceHost::IsConnected(std::make_shared<ScriptedCallback>()));
}

TEST_F(DuplexTest, FaultsTravelBothWays) {
  auto callback = std::make_shared<ScriptedCallback>();
  callback->onRequest = []() -> bool { throw std::runtime_error("busy saving"); };
  auto session = Connect(callback);
  session->Subscribe(1);
  try {
    service_->Channel(1)->RequestShutdown();
    FAIL() << "the client's fault did not reach the service";
  } catch (const FaultException& e) {
    EXPECT_EQ(e.Reason(), "busy saving");
    EXPECT_THAT(e.what(), HasSubstr("process 100, endpoint Shutdown, callback RequestShutdown"));
  }
  // An operation outside a session has no callback channel; the failure
  // goes back to the caller as a fault.
  EXPECT_EQ(OperationContext::Current(), nullptr);
}

TEST_F(DuplexTest, CallbackTimeOutIsATimeout) {
  NamedPipeServiceHost::SetTimeouts(
      {std::chrono::seconds(5), std::chrono::seconds(60), std::chrono::milliseconds(100)});
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto callback = std::make_shared<ScriptedCallback>();
  callback->onRequest = [released] {
    released.wait();
    return true;
  };
  auto session = Connect(callback);
  session->Subscribe(1);
  auto channel = service_->Channel(1);
  try {
    channel->RequestShutdown();
    FAIL() << "a stalled client was waited for beyond the callback time-out";
  } catch (const TimeoutException& e) {
    EXPECT_THAT(e.what(), HasSubstr("did not answer within 100 ms"));
  }
  release.set_value();
  // The late answer is dropped; the session goes on.
  EXPECT_TRUE(NamedPipeServiceHost::IsConnected(channel));
  EXPECT_TRUE(channel->RequestShutdown());
}

TEST_F(DuplexTest, ClientMaySubscribeFromInsideItsCallback) {
  auto callback = std::make_shared<ScriptedCallback>();
  auto session = Connect(callback);
  callback->onRequest = [&] {
    session->Unsubscribe(1);
    session->Subscribe(7);
    return true;
  };
  session->Subscribe(1);
  auto channel = service_->Channel(1);
  // Waits out no time-out: the default callback time-out is far above what
  // this takes, and a stall would surface as TimeoutException.
  EXPECT_TRUE(channel->RequestShutdown());
  EXPECT_THAT(service_->Keys(), UnorderedElementsAre(7));
}

TEST_F(DuplexTest, CloseEndsLiveSessionsAndFreesTheEndpoint) {
  std::vector<std::shared_ptr<DuplexChannel<IShutdown>>> sessions;
  for (int key = 0; key < 3; ++key) {
    sessions.push_back(Connect(std::make_shared<ScriptedCallback>()));
    sessions.back()->Subscribe(key);
  }
  // One callback is in progress while the host closes.
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto stalled = std::make_shared<ScriptedCallback>();
  stalled->onRequest = [&entered, released] {
    entered.set_value();
    released.wait();
    return true;
  };
  sessions.push_back(Connect(stalled));
  sessions.back()->Subscribe(9);
  auto pending =
      std::async(std::launch::async, [&] { return service_->Channel(9)->RequestShutdown(); });
  entered.get_future().wait();

  host_->Close();
  EXPECT_THROW(pending.get(), CommunicationException);
  release.set_value();
  for (int key : {0, 1, 2, 9}) {
    EXPECT_FALSE(NamedPipeServiceHost::IsConnected(service_->Channel(key))) << key;
  }
  for (auto& session : sessions) {
    EXPECT_TRUE(Eventually([&] { return !session->IsOpen(); }));
    EXPECT_THROW(session->Ping(), CommunicationException);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Path() / "pipes"));

  // The endpoint can be opened again at once.
  auto service = std::make_shared<RecordingShutdown>();
  NamedPipeServiceHost again(service, kPid, "Shutdown");
  again.AddServiceEndpoint(TypeOf<IShutdown>());
  again.Open();
  auto session = Connect(std::make_shared<ScriptedCallback>());
  session->Subscribe(4);
  EXPECT_TRUE(service->Channel(4)->RequestShutdown());
}

TEST_F(DuplexTest, KilledClientIsSoonDisconnected) {
  ChildProcess peer(PeerArgv({"subscribe", std::to_string(kPid), "Shutdown", "5"}));
  ASSERT_EQ(peer.ReadLine(), "ready");
  auto channel = service_->WaitForSubscriber(5);
  ASSERT_NE(channel, nullptr);
  EXPECT_TRUE(NamedPipeServiceHost::IsConnected(channel));
  EXPECT_TRUE(channel->RequestShutdown());
  peer.Kill();
  EXPECT_TRUE(Eventually([&] { return !NamedPipeServiceHost::IsConnected(channel); }));
  EXPECT_THROW(channel->ForceShutdown(), CommunicationException);
}

TEST_F(DuplexTest, MetadataEndpointServesReflection) {
  std::string socket = host_->Description().Endpoints()[0]->Address();
  auto services = Norv::Testing::ListServicesByReflection(socket);
  ASSERT_TRUE(services.has_value());
  EXPECT_THAT(*services, HasSubstr("norv.contracts.v1.Shutdown"));

  // A host without a metadata endpoint does not answer reflection.
  auto service = std::make_shared<RecordingShutdown>();
  NamedPipeServiceHost plain(service, kPid, "Plain");
  plain.AddServiceEndpoint(TypeOf<IShutdown>());
  plain.Open();
  EXPECT_EQ(Norv::Testing::ListServicesByReflection(plain.Description().Endpoints()[0]->Address()),
            std::nullopt);
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST_F(DuplexTest, HostsAndSessionsGiveTheirDescriptorsBack) {
  auto round = [&](int index) {
    auto service = std::make_shared<RecordingShutdown>();
    NamedPipeServiceHost host(service, kPid + 1 + index, "Shutdown");
    host.AddServiceEndpoint(TypeOf<IShutdown>());
    host.Open();
    auto session = DuplexChannelFactory<IShutdown>::CreateChannel(
        std::make_shared<ScriptedCallback>(), kPid + 1 + index, "Shutdown");
    session->Subscribe(1);
    EXPECT_TRUE(service->Channel(1)->RequestShutdown());
    session->Close();
    host.Close();
  };
  round(0);  // gRPC's own process-wide descriptors appear on first use
  // A descriptor of the first round may still be on its way to being closed
  // by one of gRPC's threads: ten rounds must leave no more than were open.
  int before = OpenDescriptors();
  for (int i = 1; i <= 10; ++i) round(i);
  EXPECT_TRUE(Eventually([&] { return OpenDescriptors() <= before; }))
      << OpenDescriptors() << " descriptors open, " << before << " before";
}

TEST_F(DuplexTest, NobodyListeningFailsAtOnce) {
  EXPECT_THROW(DuplexChannelFactory<IShutdown>::CreateChannel(std::make_shared<ScriptedCallback>(),
                                                              kPid + 1, "Shutdown"),
               EndpointNotFoundException);
}

}  // namespace
}  // namespace Norv::ServiceModel
