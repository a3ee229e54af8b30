// One client process of the soak. It subscribes to the shutdown service of
// the host process and does, round by round, what the host tells it on
// standard input (one command a line), answering on standard output:
//
//   round R steady yes|no  subscribe and stay subscribed, answering requests
//                          yes or no (and making a Ping from inside each
//                          request, which must stall nothing)   -> ready R
//   round R churn          subscribe, ping and unsubscribe in a loop on a
//                          thread, answering yes; every tenth pass ends the
//                          session while subscribed and opens a new one
//                                                               -> ready R
//   end R                  stop, unsubscribe, report the callbacks received
//                          since the round began                -> done R REQUESTS FORCES CYCLES
//   quit, or end of input  close the session and exit 0
//
// Any failure prints "error: <what>" and exits 1. A force is counted, not
// obeyed: the host forces in a loop.
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "services/NamedPipeServiceHost.h"
#include "services/ShutdownClient.h"

namespace {

using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::ShutdownCallback;
using Norv::ServiceModel::ShutdownClient;

// Passes of the churn loop between two sessions.
constexpr std::uint64_t kPassesPerSession = 10;

class SoakClient {
 public:
  SoakClient(std::int32_t hostPid, std::int32_t key)
      : hostPid_(hostPid),
        key_(key),
        callback_(std::make_shared<ShutdownCallback>([this] { return OnRequest(); },
                                                     [this] { ++forces_; })) {}

  ~SoakClient() {
    StopChurn();
    session_.reset();
  }

  void Steady(bool agree) {
    Begin();
    agree_ = agree;
    Session().Subscribe(key_);
    pingFrom_ = session_.get();
  }

  void Churn() {
    Begin();
    agree_ = true;
    // One pass before answering, so that the host's walks meet clients that
    // are already churning.
    Pass(0);
    churning_ = true;
    churn_ = std::thread([this] {
      try {
        for (std::uint64_t pass = 1; churning_; ++pass) Pass(pass);
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::string("churn loop: ") + e.what();
      }
    });
  }

  // Stops the round; the report line, or raises with the first failure.
  std::string End(const std::string& round) {
    pingFrom_ = nullptr;
    StopChurn();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_.empty()) throw std::runtime_error(error_);
    }
    Session().Unsubscribe(key_);
    return "done " + round + " " + std::to_string(requests_.load()) + " " +
           std::to_string(forces_.load()) + " " + std::to_string(cycles_);
  }

 private:
  void Begin() {
    requests_ = 0;
    forces_ = 0;
    cycles_ = 0;
  }

  ShutdownClient& Session() {
    // The constructor subscribes as well.
    if (!session_) session_ = std::make_unique<ShutdownClient>(hostPid_, key_, callback_);
    return *session_;
  }

  void Pass(std::uint64_t pass) {
    Session().Subscribe(key_);
    session_->Ping();
    if (pass % kPassesPerSession == kPassesPerSession - 1) {
      // Gone while subscribed: the host keeps the key, skips it as
      // disconnected, and the next session's Subscribe replaces it.
      session_.reset();
    } else {
      session_->Unsubscribe(key_);
    }
    ++cycles_;
  }

  bool OnRequest() {
    ++requests_;
    if (ShutdownClient* session = pingFrom_.load(); session != nullptr) {
      try {
        session->Ping();
      } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error_.empty()) error_ = std::string("Ping from inside RequestShutdown: ") + e.what();
        throw;
      }
    }
    return agree_.load();
  }

  void StopChurn() {
    churning_ = false;
    if (churn_.joinable()) churn_.join();
  }

  const std::int32_t hostPid_;
  const std::int32_t key_;
  std::shared_ptr<ShutdownCallback> callback_;
  // Used by the main thread, or by the churn thread while it runs.
  std::unique_ptr<ShutdownClient> session_;
  std::thread churn_;
  std::atomic<bool> churning_{false};
  std::atomic<bool> agree_{true};
  // The session a request handler pings from; set only while steady, when
  // nothing closes the session.
  std::atomic<ShutdownClient*> pingFrom_{nullptr};
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<std::uint64_t> forces_{0};
  std::uint64_t cycles_ = 0;  // written by one thread at a time
  std::mutex mutex_;
  std::string error_;
};

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

int Run(std::int32_t hostPid, std::int32_t key) {
  // A loaded machine must not turn a slow answer into a failure.
  auto timeouts = NamedPipeServiceHost::GetTimeouts();
  timeouts.connect = std::chrono::seconds(30);
  timeouts.call = std::chrono::seconds(30);
  NamedPipeServiceHost::SetTimeouts(timeouts);

  SoakClient client(hostPid, key);
  Say("hello");
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command, round, mode, answer;
    words >> command >> round >> mode >> answer;
    if (command == "round" && mode == "steady" && (answer == "yes" || answer == "no")) {
      client.Steady(answer == "yes");
      Say("ready " + round);
    } else if (command == "round" && mode == "churn") {
      client.Churn();
      Say("ready " + round);
    } else if (command == "end") {
      Say(client.End(round));
    } else if (command == "quit") {
      break;
    } else {
      throw std::runtime_error("unknown command \"" + line + "\"");
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Never outlive the soak, even when it is killed.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc != 3) {
    std::fprintf(stderr, "usage: norv_soak_client HOST_PID KEY\n");
    return 2;
  }
  const std::int32_t key = std::atoi(argv[2]);
  try {
    return Run(std::atoi(argv[1]), key);
  } catch (const std::exception& e) {
    Say("error: client key " + std::to_string(key) + ", process " + std::to_string(::getpid()) +
        ": " + e.what());
    return 1;
  }
}
