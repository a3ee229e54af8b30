// Shared pieces of the shutdown tests: one private endpoint directory for the
// test program, distinct process ids per test, an in-process client that
// counts the callbacks it gets, read access to the registry, and a fixture
// that stops the service and clears the fault seams after each test.
#ifndef NORV_TESTS_SHUTDOWN_SHUTDOWN_TEST_SUPPORT_H_
#define NORV_TESTS_SHUTDOWN_SHUTDOWN_TEST_SUPPORT_H_

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "norv/interop/ShutdownFactory.h"
#include "platform/pipes/HostTesting.h"
#include "services/NamedPipeServiceHost.h"
#include "services/ShutdownClient.h"
#include "shutdown/ShutdownGlobals.h"
#include "shutdown/ShutdownImpl.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel::Interop::internal {

struct ShutdownImplAccess {
  static bool HasRegistry(const ShutdownImpl& impl) { return impl.Snapshot() != nullptr; }
  static std::vector<std::int32_t> Keys(const ShutdownImpl& impl) {
    std::vector<std::int32_t> keys;
    if (auto clients = impl.Snapshot()) {
      for (const auto& entry : *clients) keys.push_back(entry.first);
    }
    return keys;
  }
  static std::shared_ptr<Contracts::Service::IShutdownCallback> Channel(const ShutdownImpl& impl,
                                                                        std::int32_t key) {
    auto clients = impl.Snapshot();
    if (clients == nullptr || clients->count(key) == 0) return nullptr;
    return clients->at(key).channel;
  }
};

}  // namespace Norv::ServiceModel::Interop::internal

namespace Norv::Testing {

using ServiceModel::Interop::ShutdownFactory;
using ServiceModel::Interop::ShutdownGlobals;
using ServiceModel::Interop::ShutdownImpl;
using ServiceModel::Interop::internal::ShutdownImplAccess;

// A callback object that counts what it is told and answers as set.
class CountingCallback : public ServiceModel::Contracts::Service::IShutdownCallback {
 public:
  enum class Answer { kYes, kNo, kRaise };
  explicit CountingCallback(Answer answer = Answer::kYes) : answer_(answer) {}

  bool RequestShutdown() override {
    ++requests_;
    if (onRequest) onRequest();
    if (answer_ == Answer::kRaise) throw std::runtime_error("test client refuses to answer");
    return answer_ == Answer::kYes;
  }
  void ForceShutdown() override {
    ++forces_;
    if (answer_ == Answer::kRaise) throw std::runtime_error("test client fails when forced");
  }

  int Requests() const noexcept { return requests_.load(); }
  int Forces() const noexcept { return forces_.load(); }

  std::function<void()> onRequest;  // set before subscribing

 private:
  Answer answer_;
  std::atomic<int> requests_{0};
  std::atomic<int> forces_{0};
};

// A subscribed in-process client with its counting callback.
struct TestClient {
  TestClient(std::int32_t pid, std::int32_t key,
             CountingCallback::Answer answer = CountingCallback::Answer::kYes)
      : callback(std::make_shared<CountingCallback>(answer)), client(pid, key, callback) {}
  std::shared_ptr<CountingCallback> callback;
  ServiceModel::ShutdownClient client;
};

// Polls `condition` until it holds or `timeout` passes.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline std::shared_ptr<ShutdownImpl> CurrentImpl() { return ShutdownGlobals::shutdownImpl->load(); }
inline std::shared_ptr<ServiceModel::NamedPipeServiceHost> CurrentHost() {
  return ShutdownGlobals::host->load();
}

// Every test gets process ids no other test used, so that no endpoint of an
// earlier test (or one still closing) is met again.
inline std::int32_t NextPid() {
  static std::atomic<std::int32_t> next{30000};
  return next += 10;
}

// One private endpoint directory for the whole program (children inherit it),
// set before the first endpoint is resolved and removed after the last test.
class PipeDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { pipes_ = std::make_unique<PrivatePipeDir>(); }
  void TearDown() override { pipes_.reset(); }

 private:
  std::unique_ptr<PrivatePipeDir> pipes_;
};
inline ::testing::Environment* const kPipeDirEnvironment =
    ::testing::AddGlobalTestEnvironment(new PipeDirEnvironment);

class ShutdownTest : public ::testing::Test {
 protected:
  void SetUp() override { savedTimeouts_ = ServiceModel::NamedPipeServiceHost::GetTimeouts(); }
  void TearDown() override {
    using ServiceModel::testing::HostStep;
    for (HostStep step :
         {HostStep::kConstruct, HostStep::kAddEndpoint, HostStep::kOpen, HostStep::kClose}) {
      ServiceModel::testing::SetHostStepFails(step, false);
    }
    ShutdownFactory::StopShutdownService();
    ServiceModel::NamedPipeServiceHost::SetTimeouts(savedTimeouts_);
  }

  ServiceModel::Timeouts savedTimeouts_;
};

inline std::string HelperPath() { return NORV_SHUTDOWN_HELPER; }

}  // namespace Norv::Testing

#endif  // NORV_TESTS_SHUTDOWN_SHUTDOWN_TEST_SUPPORT_H_
