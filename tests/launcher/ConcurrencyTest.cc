// The launcher bridge and the reference launcher under calls from many
// threads at once (run under ThreadSanitizer too).
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "norv/interop/Halvane.h"
#include "servers/launcher/ReferenceLauncher.h"
#include "services/NamedPipeServiceHost.h"
#include "tests/launcher/LauncherTesting.h"
#include "tests/support/TestSupport.h"

namespace Norv::Servers {
namespace {

using Halvane::Interop::Halvane;
using ServiceModel::NamedPipeServiceHost;
using ServiceModel::TypeOf;
using ServiceModel::Contracts::Service::IApplicationLauncher;
using namespace std::chrono_literals;

// Counts the calls it is handed.
class CountingLauncher : public IApplicationLauncher {
 public:
  void LogOn(const String&, const String&, const String&, const String&) override { ++logOns; }
  void LaunchTrasko() override { ++launches[0]; }
  void LaunchWendal() override { ++launches[1]; }
  void LaunchOrbisk() override { ++launches[2]; }
  std::atomic<int> logOns{0};
  std::array<std::atomic<int>, 3> launches{};
};

TEST(LauncherConcurrency, BridgeCallsFromManyThreadsAllArrive) {
  Testing::PrivatePipeDir pipes;
  auto counting = std::make_shared<CountingLauncher>();
  NamedPipeServiceHost host(counting, static_cast<std::int32_t>(::getpid()), "ApplicationLauncher");
  host.AddServiceEndpoint(TypeOf<IApplicationLauncher>());
  host.Open();
  constexpr int kThreads = 6;
  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string user = "user" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        Halvane::LogOn(nullptr, user.data(), nullptr, nullptr);
        if (t % 3 == 0) Halvane::LaunchTrasko();
        if (t % 3 == 1) Halvane::LaunchWendal();
        if (t % 3 == 2) Halvane::LaunchOrbisk();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  host.Close();
  EXPECT_EQ(counting->logOns.load(), kThreads * kRounds);
  for (const auto& count : counting->launches) EXPECT_EQ(count.load(), kThreads / 3 * kRounds);
}

TEST(LauncherConcurrency, ParallelLogOnsAndLaunchesStartEveryToolAndReapThemAll) {
  Testing::PrivatePipeDir pipes;
  Testing::TempDir files;
  ReferenceLauncherOptions options;
  // Every start overwrites the same report whole; only the count matters.
  options.trasko = {Testing::CompanionProgram(), "--output", (files.Path() / "t").string()};
  options.wendal = {Testing::CompanionProgram(), "--output", (files.Path() / "w").string()};
  ReferenceLauncher launcher(std::move(options));
  launcher.Start();

  constexpr int kThreads = 4;
  constexpr int kRounds = 8;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      std::string user = "user" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        Halvane::LogOn(nullptr, user.data(), user.data(), nullptr);
        try {
          if (i % 2 == 0) {
            Halvane::LaunchTrasko();
          } else {
            Halvane::LaunchWendal();
          }
        } catch (const std::exception&) {
          ++failures;
        }
        // Orbisk is not configured: a fault every time, never a crash.
        try {
          Halvane::LaunchOrbisk();
          ++failures;
        } catch (const std::exception&) {
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(launcher.Service().WaitUntilNoRunningTools(60s));
  EXPECT_EQ(launcher.Service().RunningTools(), 0u);
  Testing::CompanionReport report = Testing::ReadCompanionReport(files.Path() / "t");
  EXPECT_EQ(report.env["NORV_USER"], report.standardInput);
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace Norv::Servers
