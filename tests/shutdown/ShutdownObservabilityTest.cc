// What a host can learn of its shutdown service: the registry's record of
// each subscriber process (who, connected, last answer) and the failures the
// members swallow, delivered to a diagnostics handler; and what a client
// hears when its session ends.
#include <grpcpp/grpcpp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "platform/pipes/Addressing.h"
#include "services/Diagnostics.h"
#include "services/ShutdownClient.h"
#include "services/ShutdownRegistry.h"
#include "tests/shutdown/ShutdownTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace Norv::Testing {
namespace {

using ServiceModel::DiagnosticEvent;
using ServiceModel::DiagnosticKind;
using ServiceModel::NamedPipeServiceHost;
using ServiceModel::ShutdownAnswer;
using ServiceModel::ShutdownSubscriberRecord;

// Collects the events delivered to the handler it installs; removes it on
// destruction.
class EventSink {
 public:
  EventSink() {
    ServiceModel::SetDiagnosticsHandler([this](const DiagnosticEvent& event) {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(event);
    });
  }
  ~EventSink() { ServiceModel::SetDiagnosticsHandler(nullptr); }

  // Waits for an event of `kind` and returns it.
  std::optional<DiagnosticEvent> Await(DiagnosticKind kind) {
    std::optional<DiagnosticEvent> found;
    WaitUntil([&] {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& event : events_) {
        if (event.kind == kind) found = event;
      }
      return found.has_value();
    });
    return found;
  }

 private:
  std::mutex mu_;
  std::vector<DiagnosticEvent> events_;
};

class ShutdownObservabilityTest : public ShutdownTest {
 protected:
  std::unique_ptr<ChildProcess> SpawnSubscriber(int pid, int key, const std::string& answer) {
    auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
        HelperPath(), "subscribe", std::to_string(pid), std::to_string(key), answer});
    EXPECT_EQ(child->ReadLine(), "subscribed");
    return child;
  }
};

TEST_F(ShutdownObservabilityTest, TheRegistryNamesARefusingAndAStalledSubscriber) {
  const std::int32_t pid = NextPid();
  EXPECT_FALSE(ServiceModel::ReadShutdownRegistry(pid).has_value()) << "no host open yet";
  ShutdownFactory::StartShutdownService(pid);
  ServiceModel::Timeouts timeouts = NamedPipeServiceHost::GetTimeouts();
  timeouts.callback = std::chrono::milliseconds(300);
  NamedPipeServiceHost::SetTimeouts(timeouts);
  EventSink sink;

  auto refuser = SpawnSubscriber(pid, 1, "no");
  auto stalled = SpawnSubscriber(pid, 2, "yes");
  stalled->Signal(SIGSTOP);
  const auto before = std::chrono::system_clock::now();
  EXPECT_FALSE(ShutdownFactory::RequestStopShutdownService());
  stalled->Signal(SIGCONT);

  const auto records = ServiceModel::ReadShutdownRegistry(pid);
  ASSERT_TRUE(records.has_value());
  ASSERT_EQ(records->size(), 2u);
  const ShutdownSubscriberRecord& first = (*records)[0];
  const ShutdownSubscriberRecord& second = (*records)[1];
  EXPECT_EQ(first.key, 1);
  EXPECT_EQ(first.pid, refuser->Pid());
  EXPECT_EQ(first.uid, ::getuid());
  EXPECT_EQ(first.processName, "shutdown_helper");
  EXPECT_TRUE(first.connected);
  EXPECT_EQ(first.lastAnswer, ShutdownAnswer::kRefused);
  EXPECT_GE(first.answeredAt, before);
  EXPECT_LE(first.subscribedAt, before);
  EXPECT_EQ(second.key, 2);
  EXPECT_EQ(second.pid, stalled->Pid());
  EXPECT_EQ(second.lastAnswer, ShutdownAnswer::kTimedOut);

  // The stalled client's time-out reached the handler, naming its process.
  const auto event = sink.Await(DiagnosticKind::kShutdownClientCallFailed);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(event->pid, pid);
  EXPECT_EQ(event->key, 2);
  EXPECT_EQ(event->peerPid, stalled->Pid());
  EXPECT_EQ(event->operation, "RequestShutdown");
  EXPECT_NE(event->message.find("did not answer"), std::string::npos) << event->message;

  // A killed subscriber stays registered, no longer connected.
  refuser->Kill(SIGKILL);
  EXPECT_TRUE(WaitUntil([&] {
    auto now = ServiceModel::ReadShutdownRegistry(pid);
    return now && now->size() == 2 && !(*now)[0].connected;
  }));
}

TEST_F(ShutdownObservabilityTest, AHandlerLearnsWhyTheServiceDidNotOpenOrClose) {
  const std::int32_t pid = NextPid();
  EventSink sink;
  ServiceModel::testing::SetHostStepFails(ServiceModel::testing::HostStep::kOpen, true);
  ShutdownFactory::StartShutdownService(pid);
  const auto opened = sink.Await(DiagnosticKind::kShutdownOpenFailed);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->pid, pid);
  EXPECT_EQ(opened->operation, "StartShutdownService");
  EXPECT_NE(opened->message.find("process " + std::to_string(pid)), std::string::npos)
      << opened->message;
  EXPECT_FALSE(ServiceModel::ReadShutdownRegistry(pid).has_value()) << "never opened";

  ServiceModel::testing::SetHostStepFails(ServiceModel::testing::HostStep::kClose, true);
  ShutdownFactory::StopShutdownService();
  const auto closed = sink.Await(DiagnosticKind::kShutdownCloseFailed);
  ASSERT_TRUE(closed.has_value());
  EXPECT_EQ(closed->pid, pid);
}

TEST_F(ShutdownObservabilityTest, WithoutAHandlerNothingIsQueued) {
  ServiceModel::SetDiagnosticsHandler(nullptr);
  EXPECT_FALSE(ServiceModel::DiagnosticsEnabled());
  const std::uint64_t dropped = ServiceModel::DiagnosticsDropped();
  ServiceModel::ReportDiagnostic(DiagnosticEvent{});
  EXPECT_EQ(ServiceModel::DiagnosticsDropped(), dropped);
}

TEST_F(ShutdownObservabilityTest, ABlockedHandlerDelaysNoReportAndDropsAreCounted) {
  std::mutex gate;
  std::unique_lock<std::mutex> closed(gate);
  std::atomic<std::uint64_t> droppedSeen{0};
  ServiceModel::SetDiagnosticsHandler([&](const DiagnosticEvent& event) {
    std::lock_guard<std::mutex> wait(gate);  // blocks until the test opens the gate
    droppedSeen += event.droppedBefore;
  });
  const std::uint64_t dropped = ServiceModel::DiagnosticsDropped();
  for (int i = 0; i < 5000; ++i) ServiceModel::ReportDiagnostic(DiagnosticEvent{});
  const std::uint64_t lost = ServiceModel::DiagnosticsDropped() - dropped;
  EXPECT_GT(lost, 0u);
  // Each drop is told once, with the next event delivered.
  closed.unlock();
  EXPECT_TRUE(WaitUntil([&] { return droppedSeen.load() == lost; }));
  ServiceModel::SetDiagnosticsHandler(nullptr);
}

// A stand-in host: it answers the client's Subscribe, then, when told,
// ends the session with an error while it goes on listening.
class BreakingShutdownHost final : public norv::contracts::v1::Shutdown::Service {
 public:
  grpc::Status Session(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<norv::contracts::v1::ServerMessage,
                               norv::contracts::v1::ClientMessage>* stream) override {
    norv::contracts::v1::ClientMessage in;
    if (!stream->Read(&in) || !in.has_call()) return grpc::Status::OK;
    norv::contracts::v1::ServerMessage reply;
    reply.mutable_reply()->set_id(in.call().id());
    stream->Write(reply);
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return broken_; });
    return grpc::Status(grpc::StatusCode::INTERNAL, "the stand-in broke the session");
  }

  void Break() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      broken_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool broken_ = false;
};

TEST_F(ShutdownObservabilityTest, AClientHearsASessionBreakWhileItsHostListens) {
  const std::int32_t pid = NextPid();
  const std::string dir = ServiceModel::internal::EndpointDirectory();
  ServiceModel::internal::CheckEndpointDirectory(dir, true, "the test");
  BreakingShutdownHost service;
  grpc::ServerBuilder builder;
  builder.AddListeningPort(ServiceModel::internal::GrpcTarget(ServiceModel::internal::SocketPath(
                               dir, pid, ServiceModel::ShutdownClient::kEndpointName)),
                           grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  ASSERT_NE(server, nullptr);

  std::promise<std::pair<ServiceModel::ShutdownSessionEnd, std::string>> ended;
  ServiceModel::ShutdownClient client(
      pid, 7, std::make_shared<CountingCallback>(),
      [&ended](ServiceModel::ShutdownSessionEnd reason, const std::string& message) {
        ended.set_value({reason, message});
      });
  service.Break();
  std::future<std::pair<ServiceModel::ShutdownSessionEnd, std::string>> heard = ended.get_future();
  ASSERT_EQ(heard.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto [reason, message] = heard.get();
  EXPECT_EQ(reason, ServiceModel::ShutdownSessionEnd::kBroken) << message;
  EXPECT_NE(message.find("the stand-in broke the session"), std::string::npos) << message;
  server->Shutdown();
}

}  // namespace
}  // namespace Norv::Testing
