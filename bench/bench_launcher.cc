// Launcher costs: a bridge launch against a launcher that starts nothing (a
// fresh channel per call plus one round trip), a bridge LogOn with nobody
// listening (what a host pays when no launcher runs), and the reference
// launcher starting a real program and reaping it.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "norv/interop/Halvane.h"
#include "servers/launcher/ReferenceLauncher.h"
#include "services/NamedPipeServiceHost.h"

namespace {

using Norv::Halvane::Interop::Halvane;
using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::TypeOf;
using Norv::ServiceModel::Contracts::Service::IApplicationLauncher;

class IdleLauncher : public IApplicationLauncher {
 public:
  void LogOn(const String&, const String&, const String&, const String&) override {}
  void LaunchTrasko() override {}
  void LaunchWendal() override {}
  void LaunchOrbisk() override {}
};

void BM_BridgeLaunchRoundTrip(benchmark::State& state) {
  Norv::Bench::RunDir();  // the run's private endpoints
  NamedPipeServiceHost host(std::make_shared<IdleLauncher>(), static_cast<std::int32_t>(::getpid()),
                            "ApplicationLauncher");
  host.AddServiceEndpoint(TypeOf<IApplicationLauncher>());
  host.Open();
  for (auto _ : state) Halvane::LaunchTrasko();
  host.Close();
}
BENCHMARK(BM_BridgeLaunchRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_BridgeLogOnWithNobodyListening(benchmark::State& state) {
  Norv::Bench::RunDir();  // the run's private endpoints
  char user[] = "ann";
  for (auto _ : state) Halvane::LogOn(nullptr, user, nullptr, nullptr);
}
BENCHMARK(BM_BridgeLogOnWithNobodyListening)->Unit(benchmark::kMicrosecond);

void BM_ReferenceLaunchOfTrue(benchmark::State& state) {
  Norv::Servers::LauncherService service(static_cast<std::int32_t>(::getpid()), {"/bin/true"}, {},
                                         {});
  for (auto _ : state) service.Launch(Norv::Servers::CompanionTool::kTrasko);
  // Outside the timed loop: the tools end and are reaped before the next run.
  if (!service.WaitUntilNoRunningTools(std::chrono::seconds(60))) {
    state.SkipWithError("tools still running after 60 s");
  }
}
BENCHMARK(BM_ReferenceLaunchOfTrue)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
