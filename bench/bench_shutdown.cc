// The shutdown service's walks against the component's bare callback round
// trip: RequestStopShutdownService with N connected in-process subscribers
// should cost at most 1.3 x N bare round trips.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "norv/interop/ShutdownFactory.h"
#include "services/NamedPipeServiceHost.h"
#include "services/ShutdownClient.h"

namespace {

using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::OperationContext;
using Norv::ServiceModel::ShutdownCallback;
using Norv::ServiceModel::ShutdownClient;
using Norv::ServiceModel::Contracts::Service::IShutdown;
using Norv::ServiceModel::Contracts::Service::IShutdownCallback;
using Norv::ServiceModel::Interop::ShutdownFactory;

std::int32_t NextPid() {
  static std::int32_t next = 50000;
  return ++next;
}

// A bare service that keeps its subscribers' callback channels, so that the
// benchmark can call them directly: the component's callback round trips,
// with no registry, snapshot or connection test.
class BareService : public IShutdown {
 public:
  void Subscribe(std::int32_t key) override {
    auto channel = OperationContext::Current()->GetCallbackChannel<IShutdownCallback>();
    std::lock_guard<std::mutex> lock(mutex_);
    channels_[key] = std::move(channel);
  }
  void Unsubscribe(std::int32_t) override {}
  void Ping() override {}
  std::vector<std::shared_ptr<IShutdownCallback>> Channels() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<IShutdownCallback>> channels;
    for (const auto& entry : channels_) channels.push_back(entry.second);
    return channels;
  }

 private:
  std::mutex mutex_;
  std::map<std::int32_t, std::shared_ptr<IShutdownCallback>> channels_;
};

std::shared_ptr<ShutdownCallback> Agreeing() {
  return std::make_shared<ShutdownCallback>([] { return true; }, nullptr);
}

benchmark::Counter PerSubscriber(int subscribers) {
  return benchmark::Counter(
      subscribers, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// N sessions; each iteration calls every session's RequestShutdown once, one
// after the other, as a walk does.
void BM_BareCallbackRoundTrip(benchmark::State& state) {
  const std::int32_t pid = NextPid();
  const int subscribers = static_cast<int>(state.range(0));
  auto service = std::make_shared<BareService>();
  NamedPipeServiceHost host(service, pid, "Shutdown");
  host.AddServiceEndpoint(Norv::ServiceModel::TypeOf<IShutdown>());
  host.Open();
  {
    std::vector<std::unique_ptr<ShutdownClient>> clients;
    for (int i = 0; i < subscribers; ++i) {
      clients.push_back(std::make_unique<ShutdownClient>(pid, i, Agreeing()));
    }
    const std::vector<std::shared_ptr<IShutdownCallback>> channels = service->Channels();
    for (auto _ : state) {
      for (const auto& channel : channels) benchmark::DoNotOptimize(channel->RequestShutdown());
    }
  }
  host.Close();
  state.counters["per_subscriber"] = PerSubscriber(subscribers);
}
BENCHMARK(BM_BareCallbackRoundTrip)->Arg(1)->Arg(10)->Arg(100)->UseRealTime();

void BM_RequestStopShutdownService(benchmark::State& state) {
  const std::int32_t pid = NextPid();
  const int subscribers = static_cast<int>(state.range(0));
  ShutdownFactory::StartShutdownService(pid);
  {
    std::vector<std::unique_ptr<ShutdownClient>> clients;
    for (int i = 0; i < subscribers; ++i) {
      clients.push_back(std::make_unique<ShutdownClient>(pid, i, Agreeing()));
    }
    for (auto _ : state) {
      if (!ShutdownFactory::RequestStopShutdownService()) state.SkipWithError("a client refused");
    }
  }
  ShutdownFactory::StopShutdownService();
  state.counters["per_subscriber"] = PerSubscriber(subscribers);
}
BENCHMARK(BM_RequestStopShutdownService)->Arg(1)->Arg(10)->Arg(100)->UseRealTime();

void BM_ForceStopShutdownService(benchmark::State& state) {
  const std::int32_t pid = NextPid();
  const int subscribers = static_cast<int>(state.range(0));
  ShutdownFactory::StartShutdownService(pid);
  {
    std::vector<std::unique_ptr<ShutdownClient>> clients;
    for (int i = 0; i < subscribers; ++i) {
      clients.push_back(std::make_unique<ShutdownClient>(pid, i, Agreeing()));
    }
    for (auto _ : state) ShutdownFactory::ForceStopShutdownService();
  }
  ShutdownFactory::StopShutdownService();
}
BENCHMARK(BM_ForceStopShutdownService)->Arg(100)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  Norv::Bench::RunDir();  // the run's private endpoints
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
