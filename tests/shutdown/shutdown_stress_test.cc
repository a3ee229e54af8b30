// Clients subscribing and unsubscribing in a loop while the host application
// requests and forces from another thread. Every client that is registered
// throughout a walk must be asked (or told) exactly once by that walk, and no
// client is ever called twice by one walk. Run under ThreadSanitizer.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/shutdown/ShutdownTestSupport.h"

namespace Norv::Testing {
namespace {

constexpr int kClients = 6;
constexpr int kRounds = 40;

// Walk numbers: a walk n runs between started_ = n and ended_ = n.
std::atomic<int> started{0};
std::atomic<int> ended{0};

class StressClient : public ServiceModel::Contracts::Service::IShutdownCallback {
 public:
  bool RequestShutdown() override {
    Record();
    return true;
  }
  void ForceShutdown() override { Record(); }

  // Calls per walk.
  std::map<int, int> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  // Walks that ran wholly while this client was registered: after its
  // Subscribe returned and before its Unsubscribe was sent.
  std::vector<std::pair<int, int>> registeredSpans;

 private:
  void Record() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_[started.load()];
  }
  std::mutex mutex_;
  std::map<int, int> calls_;
};

using ShutdownStressTest = ShutdownTest;

TEST_F(ShutdownStressTest, EveryClientRegisteredThroughoutAWalkIsCalledExactlyOnce) {
  const std::int32_t pid = NextPid();
  ShutdownFactory::StartShutdownService(pid);

  std::vector<std::shared_ptr<StressClient>> callbacks;
  std::vector<std::unique_ptr<ServiceModel::ShutdownClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    callbacks.push_back(std::make_shared<StressClient>());
    clients.push_back(std::make_unique<ServiceModel::ShutdownClient>(pid, i, callbacks.back()));
    clients.back()->Unsubscribe(i);
  }

  std::atomic<int> running{kClients};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        clients[i]->Subscribe(i);
        const int first = started.load() + 1;
        // Every other round stays subscribed until a whole walk has passed,
        // so that the check below always has cases; the others leave at once.
        if (round % 2 == 1) {
          while (ended.load() < first) std::this_thread::yield();
        }
        const int last = ended.load();
        clients[i]->Unsubscribe(i);
        if (first <= last) callbacks[i]->registeredSpans.emplace_back(first, last);
      }
      --running;
    });
  }
  int walks = 0;
  while (running.load() > 0 || walks < 20) {
    ++walks;
    started.store(walks);
    if (walks % 2 == 0) {
      EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
    } else {
      ShutdownFactory::ForceStopShutdownService();
    }
    ended.store(walks);
  }
  for (std::thread& thread : threads) thread.join();

  int checked = 0;
  for (int i = 0; i < kClients; ++i) {
    const std::map<int, int> calls = callbacks[i]->Calls();
    for (const auto& [walk, count] : calls)
      EXPECT_EQ(count, 1) << "client " << i << ", walk " << walk;
    for (const auto& [first, last] : callbacks[i]->registeredSpans) {
      for (int walk = first; walk <= last; ++walk) {
        EXPECT_EQ(calls.count(walk), 1u) << "client " << i << " missed walk " << walk;
        ++checked;
      }
    }
  }
  // The check above must have had something to check.
  EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace Norv::Testing
