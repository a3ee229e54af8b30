// The subscriber registry through a real host: real sessions from this
// process and from subscriber processes.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "services/ServiceErrors.h"
#include "tests/shutdown/ShutdownTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace Norv::Testing {
namespace {

using ::testing::ElementsAre;
using Answer = CountingCallback::Answer;
using ServiceModel::NamedPipeServiceHost;

class ShutdownRegistryTest : public ShutdownTest {
 protected:
  void SetUp() override {
    ShutdownTest::SetUp();
    pid_ = NextPid();
    ShutdownFactory::StartShutdownService(pid_);
  }

  // A subscriber process answering `answer`; returns once it has subscribed.
  std::unique_ptr<ChildProcess> SpawnSubscriber(int key, const std::string& answer) {
    auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
        HelperPath(), "subscribe", std::to_string(pid_), std::to_string(key), answer});
    EXPECT_EQ(child->ReadLine(), "subscribed");
    return child;
  }

  std::int32_t pid_ = 0;
};

TEST_F(ShutdownRegistryTest, BeforeAnySubscriberEveryoneAgreesAndNothingIsCreated) {
  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  ShutdownFactory::ForceStopShutdownService();

  // Ping and Unsubscribe of an unknown key from a live session change nothing.
  auto callback = std::make_shared<CountingCallback>();
  auto session = ServiceModel::DuplexChannelFactory<
      ServiceModel::Contracts::Service::IShutdown>::CreateChannel(callback, pid_, "Shutdown");
  session->Ping();
  session->Unsubscribe(7);
  EXPECT_FALSE(ShutdownImplAccess::HasRegistry(*CurrentImpl()));

  // Once every subscriber has left, the registry stays, empty, and agrees.
  session->Subscribe(7);
  session->Unsubscribe(7);
  EXPECT_TRUE(ShutdownImplAccess::HasRegistry(*CurrentImpl()));
  EXPECT_TRUE(ShutdownImplAccess::Keys(*CurrentImpl()).empty());
  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  EXPECT_EQ(callback->Requests(), 0);
  session->Close();
}

TEST_F(ShutdownRegistryTest, ASubscribeWithoutACallingClientFailsAndChangesNothing) {
  ShutdownImpl impl;  // called directly: no operation is being served
  EXPECT_THROW(impl.Subscribe(1), ServiceModel::CommunicationException);
  EXPECT_TRUE(ShutdownImplAccess::HasRegistry(impl));
  EXPECT_TRUE(ShutdownImplAccess::Keys(impl).empty());
  EXPECT_TRUE(impl.RequestShutdownAllClients());
}

TEST_F(ShutdownRegistryTest, EveryProcessIsAskedAndOneRefusalDecides) {
  auto first = SpawnSubscriber(1, "yes");
  auto refuser = SpawnSubscriber(2, "no");
  auto third = SpawnSubscriber(3, "yes");

  EXPECT_FALSE(ShutdownFactory::RequestStopShutdownService());
  for (auto* child : {first.get(), refuser.get(), third.get()}) {
    EXPECT_EQ(child->ReadLine(), "request");
    EXPECT_FALSE(child->HasLine()) << "asked more than once";
  }

  // Forcing tells each once; each then ends on its own.
  ShutdownFactory::ForceStopShutdownService();
  for (auto* child : {first.get(), refuser.get(), third.get()}) {
    EXPECT_EQ(child->ReadLine(), "force");
    const std::optional<int> status = child->Wait();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  }
}

TEST_F(ShutdownRegistryTest, AFailingProcessCountsAsAgreeing) {
  auto first = SpawnSubscriber(1, "yes");
  auto failing = SpawnSubscriber(2, "fail");
  auto third = SpawnSubscriber(3, "yes");

  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  for (auto* child : {first.get(), failing.get(), third.get()}) {
    EXPECT_EQ(child->ReadLine(), "request");
  }
}

TEST_F(ShutdownRegistryTest, AKilledProcessIsSkippedButStaysRegistered) {
  auto alive = SpawnSubscriber(1, "yes");
  auto killed = SpawnSubscriber(2, "no");
  killed->Kill(SIGKILL);
  ASSERT_TRUE(WaitUntil([] {
    return !NamedPipeServiceHost::IsConnected(ShutdownImplAccess::Channel(*CurrentImpl(), 2));
  }));

  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  EXPECT_EQ(alive->ReadLine(), "request");
  ShutdownFactory::ForceStopShutdownService();
  EXPECT_EQ(alive->ReadLine(), "force");
  EXPECT_THAT(ShutdownImplAccess::Keys(*CurrentImpl()), ElementsAre(1, 2));
}

TEST_F(ShutdownRegistryTest, ASecondSubscriptionUnderAKeyReplacesTheFirst) {
  TestClient earlier(pid_, 5, Answer::kNo);
  TestClient later(pid_, 5, Answer::kYes);

  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  ShutdownFactory::ForceStopShutdownService();
  EXPECT_EQ(earlier.callback->Requests() + earlier.callback->Forces(), 0);
  EXPECT_EQ(later.callback->Requests(), 1);
  EXPECT_EQ(later.callback->Forces(), 1);
  EXPECT_THAT(ShutdownImplAccess::Keys(*CurrentImpl()), ElementsAre(5));
}

TEST_F(ShutdownRegistryTest, ForceGoesOnPastAFailingClientAndRemovesNobody) {
  TestClient first(pid_, 1);
  TestClient failing(pid_, 2, Answer::kRaise);
  TestClient third(pid_, 3);
  TestClient gone(pid_, 4);
  gone.client.Unsubscribe(4);

  ShutdownFactory::ForceStopShutdownService();
  ShutdownFactory::ForceStopShutdownService();
  for (const TestClient* c : {&first, &failing, &third}) EXPECT_EQ(c->callback->Forces(), 2);
  EXPECT_EQ(gone.callback->Forces(), 0);
  EXPECT_THAT(ShutdownImplAccess::Keys(*CurrentImpl()), ElementsAre(1, 2, 3));
}

TEST_F(ShutdownRegistryTest, AStalledClientCostsOneCallbackTimeoutAndCountsAsAgreeing) {
  ServiceModel::Timeouts timeouts = NamedPipeServiceHost::GetTimeouts();
  timeouts.callback = std::chrono::milliseconds(300);
  NamedPipeServiceHost::SetTimeouts(timeouts);

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto stalled = std::make_shared<CountingCallback>();
  stalled->onRequest = [released] { released.wait(); };
  ServiceModel::ShutdownClient stalledClient(pid_, 1, stalled);
  TestClient agreeing(pid_, 2);

  auto walk = std::async(std::launch::async, ShutdownFactory::RequestStopShutdownService);
  const bool finished = walk.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  release.set_value();
  ASSERT_TRUE(finished) << "the walk waited on a stalled client beyond its time-out";
  EXPECT_TRUE(walk.get());
  EXPECT_EQ(stalled->Requests(), 1);
  EXPECT_EQ(agreeing.callback->Requests(), 1);

  // A refusal beside the stalled client still decides.
  TestClient refusing(pid_, 3, Answer::kNo);
  EXPECT_FALSE(ShutdownFactory::RequestStopShutdownService());
}

TEST_F(ShutdownRegistryTest, SubscribingFromInsideARequestHandlerStallsNothing) {
  // With a long callback time-out, a walk that deadlocked on the handler's
  // own calls would not come back within the deadline below.
  ServiceModel::Timeouts timeouts = NamedPipeServiceHost::GetTimeouts();
  timeouts.callback = std::chrono::seconds(300);
  NamedPipeServiceHost::SetTimeouts(timeouts);

  // The handler reaches its own client through an atomic: the hand-over
  // otherwise runs through the socket, where ThreadSanitizer cannot see it.
  auto callback = std::make_shared<CountingCallback>();
  std::atomic<ServiceModel::ShutdownClient*> self{nullptr};
  callback->onRequest = [&self] {
    ServiceModel::ShutdownClient* client = self.load();
    client->Subscribe(77);
    client->Unsubscribe(1);
    client->Ping();
  };
  auto client = std::make_unique<ServiceModel::ShutdownClient>(pid_, 1, callback);
  self.store(client.get());
  TestClient refusing(pid_, 2, Answer::kNo);

  auto walk = std::async(std::launch::async, ShutdownFactory::RequestStopShutdownService);
  ASSERT_EQ(walk.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_FALSE(walk.get());
  EXPECT_EQ(refusing.callback->Requests(), 1);
  EXPECT_THAT(ShutdownImplAccess::Keys(*CurrentImpl()), ElementsAre(2, 77));
  client->Close();
}

// A host may cancel a thread blocked in any member of the factory; here each
// member waits on a subscriber process stopped by SIGSTOP. The thread must
// unwind (swallowing the cancellation aborts the process: "exception not
// rethrown") and leave the factory usable: Start, Request, Force and Stop
// work again. Run in a child process so that an abort fails one test alone;
// the exit code names the step that failed.
int CancelWhileASubscriberIsStopped(void (*member)()) {
  const int pid = static_cast<int>(::getpid());
  ServiceModel::Timeouts timeouts = NamedPipeServiceHost::GetTimeouts();
  timeouts.callback = std::chrono::seconds(20);  // far beyond the cancellation
  NamedPipeServiceHost::SetTimeouts(timeouts);
  ShutdownFactory::StartShutdownService(pid);
  // Its standard error is not the death test's: a stopped subscriber left by
  // an abort would hold that pipe open, and the test would wait for ever.
  auto subscriber = [pid](int key, const char* answer) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{HelperPath(), "subscribe", std::to_string(pid),
                                 std::to_string(key), answer},
        ChildProcess::Options{.errors = ChildProcess::ErrorStream::kIntoOutput});
  };
  auto stopped = subscriber(1, "yes");
  if (stopped->ReadLine() != "subscribed") return 10;
  stopped->Signal(SIGSTOP);

  pthread_t thread;
  auto run = [](void* fn) -> void* {
    reinterpret_cast<void (*)()>(fn)();
    return nullptr;
  };
  if (::pthread_create(&thread, nullptr, run, reinterpret_cast<void*>(member)) != 0) return 11;
  // Lets the member reach its wait; a cancellation anywhere in it must
  // unwind the same way.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::pthread_cancel(thread);
  void* result = nullptr;
  ::pthread_join(thread, &result);
  if (result != PTHREAD_CANCELED) return 12;
  stopped->Kill(SIGKILL);

  ShutdownFactory::StartShutdownService(pid);
  auto refusing = subscriber(2, "no");
  if (refusing->ReadLine() != "subscribed") return 13;
  if (ShutdownFactory::RequestStopShutdownService()) return 14;
  if (refusing->ReadLine() != "request") return 15;
  ShutdownFactory::ForceStopShutdownService();
  if (refusing->ReadLine() != "force") return 16;
  ShutdownFactory::StopShutdownService();
  if (CurrentHost() != nullptr || CurrentImpl() != nullptr) return 17;
  return 0;
}

class ShutdownCancelTest : public ShutdownTest {
 protected:
  void SetUp() override {
    ShutdownTest::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

TEST_F(ShutdownCancelTest, ARequestWalkWaitingOnAStoppedClientCanBeCancelled) {
  EXPECT_EXIT(::_exit(CancelWhileASubscriberIsStopped(
                  [] { ShutdownFactory::RequestStopShutdownService(); })),
              ::testing::ExitedWithCode(0), "");
}

TEST_F(ShutdownCancelTest, AForceWalkWaitingOnAStoppedClientCanBeCancelled) {
  EXPECT_EXIT(::_exit(CancelWhileASubscriberIsStopped(ShutdownFactory::ForceStopShutdownService)),
              ::testing::ExitedWithCode(0), "");
}

// A stopped client does not hold Stop up for long (its session ends without
// its help), so the cancellation is made pending as Stop begins: it must wait
// out the tear-down's joins and act once the host is closed.
TEST_F(ShutdownCancelTest, AStopWithAStoppedClientCanBeCancelled) {
  EXPECT_EXIT(::_exit(CancelWhileASubscriberIsStopped([] {
                ::pthread_cancel(::pthread_self());
                ShutdownFactory::StopShutdownService();
              })),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Norv::Testing
