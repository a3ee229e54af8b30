// norv_soak: a bounded soak of the shutdown service and the data service in
// one host process.
//
// The host starts the shutdown service through the exported ShutdownFactory
// and serves the reference data service on a temporary project. Client
// processes (norv_soak_client) subscribe and unsubscribe while the host
// requests and forces; data threads call the exported MirnDataService
// meanwhile. Every round fixes which clients stay subscribed and which of
// them refuses, so every answer is known in advance:
//   - a request answers false exactly when the round has a refusing client
//     that stays subscribed; the churning clients always agree;
//   - each client that stays subscribed is asked once by every request and
//     told once by every force of the round; a churning client at most once;
//   - each data call answers what the project holds (faults included).
// One warm-up round (everything started, used and stopped) comes first;
// after it and after the soak the process's open descriptors must be the
// same and its resident memory may have grown by no more than a bound.
//
// Usage: norv_soak [--rounds N] [--clients N] [--data-threads N] [--walks N]
//                  [--max-rss-growth-mib N] [--time-limit S] [--client PATH]
//                  [--inject client-lies|client-dies|fd-leak|rss-growth|wrong-data]
// --inject plants one fault that the soak must catch (its own self-check).
// Exit status: 0 passed, 1 failed (the reason on standard error), 2 usage.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "norv/interop/ShutdownFactory.h"
#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/SqliteDataService.h"
#include "services/NamedPipeServiceHost.h"
#include "services/Text.h"
#include "tests/soak/SoakProject.h"
#include "tests/soak/SoakSupport.h"
#include "tests/support/TestSupport.h"

namespace Norv::Soak {
namespace {

using ServiceModel::NamedPipeServiceHost;
using ServiceModel::Interop::ShutdownFactory;

// The data service's endpoint: a process id of its own (no live process
// needs to have it; the endpoint directory is private to the soak).
constexpr std::int32_t kDataPid = 4900001;
// How long a client may take over one line of the protocol.
constexpr std::chrono::seconds kReplyTimeout{120};
// How many groups the clients fall into; one group stays subscribed in a
// round while the others churn.
constexpr int kGroups = 5;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  int rounds = 20;
  int clients = 50;
  int dataThreads = 4;
  int walks = 4;
  long long maxRssGrowthMib = 64;
  int timeLimitSeconds = 0;  // 0: from the number of rounds
  std::string client;
  std::string inject;
};

Options Parse(int argc, char** argv) {
  Options options;
  auto number = [&](int& i, int min) {
    if (i + 1 >= argc) throw UsageError(std::string(argv[i]) + " needs a value");
    const std::string text = argv[++i];
    std::size_t used = 0;
    long long value = 0;
    try {
      value = std::stoll(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != text.size() || value < min || value > 1000000) {
      throw UsageError(std::string(argv[i - 1]) + " needs a whole number of at least " +
                       std::to_string(min) + ", not \"" + text + "\"");
    }
    return value;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds") {
      options.rounds = static_cast<int>(number(i, 1));
    } else if (arg == "--clients") {
      options.clients = static_cast<int>(number(i, 1));
    } else if (arg == "--data-threads") {
      options.dataThreads = static_cast<int>(number(i, 0));
    } else if (arg == "--walks") {
      options.walks = static_cast<int>(number(i, 1));
    } else if (arg == "--max-rss-growth-mib") {
      options.maxRssGrowthMib = number(i, 1);
    } else if (arg == "--time-limit") {
      options.timeLimitSeconds = static_cast<int>(number(i, 1));
    } else if (arg == "--client" && i + 1 < argc) {
      options.client = argv[++i];
    } else if (arg == "--inject" && i + 1 < argc) {
      options.inject = argv[++i];
      if (options.inject != "client-lies" && options.inject != "fd-leak" &&
          options.inject != "rss-growth" && options.inject != "wrong-data" &&
          options.inject != "client-dies") {
        throw UsageError("unknown fault \"" + options.inject + "\" for --inject");
      }
    } else {
      throw UsageError("unknown or incomplete argument \"" + arg + "\"");
    }
  }
  if (options.client.empty()) {
    options.client =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "norv_soak_client")
            .string();
  }
  if (options.timeLimitSeconds == 0) options.timeLimitSeconds = 300 + 10 * options.rounds;
  return options;
}

struct Totals {
  int rounds = 0;
  std::uint64_t requests = 0;
  std::uint64_t forces = 0;
  std::uint64_t cycles = 0;
  std::uint64_t dataCalls = 0;
};

// Threads calling the data service through the bridge until stopped.
class DataLoad {
 public:
  DataLoad(int threads, const SoakProject& project, bool skewed) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this, i, project, skewed] {
        DataCallChecker checker(kDataPid, project, skewed);
        try {
          Text::SetCurrentCulture("en-US");
          while (!stop_) {
            checker.CheckNext();
            ++calls_;
          }
        } catch (const std::exception& e) {
          std::lock_guard<std::mutex> lock(mutex_);
          if (failure_.empty()) {
            failure_ = "data thread " + std::to_string(i) + ", call " +
                       std::to_string(checker.Calls() + 1) + ": " + e.what();
          }
        }
      });
    }
  }
  ~DataLoad() { Stop(); }
  DataLoad(const DataLoad&) = delete;
  DataLoad& operator=(const DataLoad&) = delete;

  // Stops and joins the threads.
  void Stop() {
    stop_ = true;
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }
  // The first failure so far; empty when none.
  std::string Failure() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }
  std::uint64_t Calls() const noexcept { return calls_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> calls_{0};
  std::mutex mutex_;
  std::string failure_;
  std::vector<std::thread> threads_;
};

// With NORV_SOAK_TRACE set, when each step of a phase ends (standard error).
void Trace(const std::string& step) {
  static const bool on = std::getenv("NORV_SOAK_TRACE") != nullptr;
  static const auto start = std::chrono::steady_clock::now();
  if (!on) return;
  std::fprintf(stderr, "norv_soak: %8.3f s  %s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
               step.c_str());
}

// The shutdown service for the lifetime of the object.
class ShutdownService {
 public:
  explicit ShutdownService(int pid) {
    ShutdownFactory::StartShutdownService(pid);
    Trace("shutdown service started");
  }
  ~ShutdownService() {
    ShutdownFactory::StopShutdownService();
    Trace("shutdown service stopped");
  }
  ShutdownService(const ShutdownService&) = delete;
  ShutdownService& operator=(const ShutdownService&) = delete;
};

// The reference data service on kDataPid for the lifetime of the object.
class DataService {
 public:
  explicit DataService(const std::filesystem::path& project)
      : host_(Servers::NewDataServiceHost(std::make_shared<Servers::SqliteDataService>(project),
                                          kDataPid)) {
    host_->Open();
  }
  ~DataService() {
    if (!host_) return;
    try {
      host_->Close();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "norv_soak: closing the data service: %s\n", e.what());
    }
  }
  // Closes the host, raising its failure.
  void Close() {
    auto host = std::move(host_);
    host->Close();
  }
  DataService(const DataService&) = delete;
  DataService& operator=(const DataService&) = delete;

 private:
  std::unique_ptr<NamedPipeServiceHost> host_;
};

std::uint64_t Field(const std::string& line, int index, const ClientProcess& client) {
  std::istringstream words(line);
  std::string word;
  for (int i = 0; i <= index; ++i) {
    if (!(words >> word)) break;
  }
  try {
    return std::stoull(word);
  } catch (const std::exception&) {
    throw std::runtime_error(client.Describe() + " printed the malformed report \"" + line + "\"");
  }
}

void RunRound(const Options& options, std::vector<std::unique_ptr<ClientProcess>>& clients,
              int round, Totals& totals) {
  const int groups = std::min<int>(kGroups, static_cast<int>(clients.size()));
  const std::string r = std::to_string(round);
  std::vector<bool> steady(clients.size());
  // Two rounds out of three have one refusing client, the third none.
  int refuser = -1;
  for (std::size_t k = 0; k < clients.size(); ++k) {
    steady[k] = static_cast<int>(k) % groups == round % groups;
    if (steady[k] && refuser < 0 && round % 3 != 0) refuser = static_cast<int>(k);
  }
  if (options.inject == "client-dies" && round == 1) clients[0]->Kill();
  for (std::size_t k = 0; k < clients.size(); ++k) {
    if (!steady[k]) {
      clients[k]->Send("round " + r + " churn");
    } else {
      const bool refuses = static_cast<int>(k) == refuser && options.inject != "client-lies";
      clients[k]->Send("round " + r + " steady " + (refuses ? "no" : "yes"));
    }
  }
  for (auto& client : clients) client->Expect("ready " + r, kReplyTimeout);
  Trace("round " + r + ": clients ready");

  const bool expected = refuser < 0;
  std::uint64_t requests = 0;
  std::uint64_t forces = 0;
  // A wrong answer ends the soak after the round, so that the clients'
  // reports can tell a client that was skipped from one that was asked.
  std::string wrongAnswer;
  for (int walk = 0; walk < options.walks; ++walk) {
    if (walk % 2 == 0) {
      const bool answer = ShutdownFactory::RequestStopShutdownService();
      ++requests;
      if (answer != expected && wrongAnswer.empty()) {
        wrongAnswer =
            ("round " + r + ", walk " + std::to_string(walk) +
             ": RequestStopShutdownService answered " + (answer ? "true" : "false") +
             ", expected " + (expected ? "true" : "false") +
             (refuser >= 0 ? " (" + clients[refuser]->Describe() + " stays subscribed and refuses)"
                           : " (every client agrees)"));
      }
    } else {
      ShutdownFactory::ForceStopShutdownService();
      ++forces;
    }
  }

  Trace("round " + r + ": walks done");
  for (auto& client : clients) client->Send("end " + r);
  for (std::size_t k = 0; k < clients.size(); ++k) {
    const std::string line = clients[k]->Expect("done " + r + " ", kReplyTimeout);
    const std::uint64_t asked = Field(line, 2, *clients[k]);
    const std::uint64_t told = Field(line, 3, *clients[k]);
    totals.cycles += Field(line, 4, *clients[k]);
    if (!wrongAnswer.empty() && static_cast<int>(k) == refuser) {
      wrongAnswer += "; that client reports being asked " + std::to_string(asked) +
                     " times by the round's " + std::to_string(requests) + " requests";
    }
    const bool right =
        steady[k] ? asked == requests && told == forces : asked <= requests && told <= forces;
    if (!right) {
      throw std::runtime_error((wrongAnswer.empty() ? "" : wrongAnswer + "; ") + "round " + r +
                               ": " + clients[k]->Describe() + ", " +
                               (steady[k] ? "subscribed throughout" : "churning") + ", was asked " +
                               std::to_string(asked) + " times and told " + std::to_string(told) +
                               " times by " + std::to_string(requests) + " requests and " +
                               std::to_string(forces) + " forces");
    }
  }
  if (!wrongAnswer.empty()) throw std::runtime_error(wrongAnswer);
  totals.requests += requests;
  totals.forces += forces;
  ++totals.rounds;
  Trace("round " + r + ": reports checked");
}

// Starts everything, runs `rounds` rounds from `firstRound` on, and stops
// everything again.
void RunPhase(const Options& options, const std::filesystem::path& projectFile,
              const SoakProject& project, int firstRound, int rounds, Totals& totals) {
  ShutdownService shutdown(static_cast<int>(::getpid()));
  DataService dataService(projectFile);
  std::vector<std::unique_ptr<ClientProcess>> clients;
  for (int key = 0; key < options.clients; ++key) {
    clients.push_back(
        std::make_unique<ClientProcess>(options.client, static_cast<int>(::getpid()), key));
  }
  for (auto& client : clients) client->Expect("hello", kReplyTimeout);
  Trace("clients started");
  {
    DataLoad data(options.dataThreads, project, options.inject == "wrong-data");
    for (int round = firstRound; round < firstRound + rounds; ++round) {
      RunRound(options, clients, round, totals);
      if (std::string failure = data.Failure(); !failure.empty()) {
        throw std::runtime_error(failure);
      }
    }
    data.Stop();
    if (std::string failure = data.Failure(); !failure.empty()) throw std::runtime_error(failure);
    totals.dataCalls += data.Calls();
  }
  Trace("data threads stopped");
  for (auto& client : clients) client->Quit();
  for (auto& client : clients) client->WaitForExit(kReplyTimeout);
  clients.clear();
  Trace("clients ended");
  dataService.Close();
  Trace("data service closed");
}

std::string Mib(long long bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

int Run(const Options& options) {
  const auto began = std::chrono::steady_clock::now();
  Watchdog watchdog(std::chrono::seconds(options.timeLimitSeconds));
  Testing::PrivatePipeDir pipes;
  Testing::TempDir projectDir;
  const std::filesystem::path projectFile = projectDir.Path() / "soak.db";
  const SoakProject project = WriteSoakProject(projectFile);

  // A loaded machine must not turn a slow answer into a wrong one (a
  // callback that times out counts as agreeing).
  auto timeouts = NamedPipeServiceHost::GetTimeouts();
  timeouts.connect = std::chrono::seconds(30);
  timeouts.call = std::chrono::seconds(30);
  timeouts.callback = std::chrono::seconds(30);
  NamedPipeServiceHost::SetTimeouts(timeouts);

  // The warm-up lets the libraries make the process-wide state they keep.
  Totals warmUp;
  RunPhase(options, projectFile, project, 0, 1, warmUp);
  const ResourceSnapshot before = ResourceSnapshot::Take();

  Totals totals;
  int leaked = -1;
  std::vector<char> ballast;
  if (options.inject == "fd-leak") leaked = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (options.inject == "rss-growth") {
    ballast.assign(static_cast<std::size_t>(options.maxRssGrowthMib + 16) << 20, 1);
  }
  RunPhase(options, projectFile, project, 1, options.rounds, totals);
  const ResourceSnapshot after = ResourceSnapshot::Take();
  if (leaked >= 0) ::close(leaked);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

  const long long growth = after.rss - before.rss;
  std::ostringstream summary;
  summary.precision(1);
  summary << std::fixed << totals.rounds << " rounds (after 1 warm-up round), " << options.clients
          << " client processes, " << options.dataThreads << " data threads: " << totals.requests
          << " requests and " << totals.forces << " forces, " << totals.cycles
          << " subscribe/unsubscribe cycles, " << totals.dataCalls << " data calls; open fds "
          << before.fds.size() << " after warm-up, " << after.fds.size() << " at the end; RSS "
          << Mib(before.rss) << " after warm-up, " << Mib(after.rss) << " at the end ("
          << (growth >= 0 ? "+" : "-") << Mib(growth >= 0 ? growth : -growth) << ", bound "
          << options.maxRssGrowthMib << " MiB); " << seconds << " s";
  // The count must match; which descriptors changed only helps to find a
  // leak (a socket reopened at the same number differs in its inode).
  if (after.fds.size() != before.fds.size()) {
    throw std::runtime_error("open descriptors did not return to their count after warm-up (" +
                             std::to_string(before.fds.size()) + " then, " +
                             std::to_string(after.fds.size()) + " now; " +
                             before.DescribeChange(after) + "); " + summary.str());
  }
  if (growth > (options.maxRssGrowthMib << 20)) {
    throw std::runtime_error("resident memory grew by " + Mib(growth) +
                             ", more than the bound of " + std::to_string(options.maxRssGrowthMib) +
                             " MiB; " + summary.str());
  }
  std::printf("norv_soak: passed: %s\n", summary.str().c_str());
  return 0;
}

}  // namespace
}  // namespace Norv::Soak

#if defined(__SANITIZE_ADDRESS__)
#define NORV_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORV_SOAK_ASAN 1
#endif
#endif

#ifdef NORV_SOAK_ASAN
// AddressSanitizer keeps freed memory in a quarantine of 256 MiB by default,
// which a soak fills and the memory bound would count as growth. A smaller
// one still catches a use soon after a free; ASAN_OPTIONS may override it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

int main(int argc, char** argv) {
  // A client that dies must surface as a failed write, not end the soak.
  ::signal(SIGPIPE, SIG_IGN);
  Norv::Soak::Options options;
  try {
    options = Norv::Soak::Parse(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "norv_soak: %s\n", e.what());
    return 2;
  }
  try {
    return Norv::Soak::Run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "norv_soak: FAILED: %s\n", e.what());
    return 1;
  }
}
