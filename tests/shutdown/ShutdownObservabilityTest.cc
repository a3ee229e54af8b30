// What a host can learn of its shutdown service: the registry's record of
// each subscriber process (who, connected, last answer) and the failures the
// members swallow, delivered to a diagnostics handler.
#include <signal.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "services/Diagnostics.h"
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

}  // namespace
}  // namespace Norv::Testing
