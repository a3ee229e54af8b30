// A separate process for the shutdown tests, started with posix_spawn:
//   shutdown_helper subscribe PID KEY yes|no|fail
//       subscribes to endpoint Shutdown of PID, prints "subscribed", then
//       "request" for each request (answering as told; fail raises) and
//       "force" when forced, which ends it; the end of input ends it too.
//   shutdown_helper host PID
//       starts the service through the exported library, prints "started",
//       and returns from main when its input ends, leaving the host open.
// Either dies (SIGKILL) when the process that started it ends.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "norv/interop/ShutdownFactory.h"
#include "services/ShutdownClient.h"

namespace {

void Say(const char* line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::printf("%s\n", line);
  std::fflush(stdout);
}

// Blocks until standard input ends.
void DrainInput() {
  char buffer[256];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
}

struct Forced {
  std::mutex mutex;
  std::condition_variable changed;
  bool forced = false;
};

int Subscribe(int pid, int key, const std::string& answer) {
  auto forced = std::make_shared<Forced>();
  auto callback = std::make_shared<Norv::ServiceModel::ShutdownCallback>(
      [answer] {
        Say("request");
        if (answer == "fail") throw std::runtime_error("shutdown_helper: told to fail");
        return answer == "yes";
      },
      [forced] {
        Say("force");
        std::lock_guard<std::mutex> lock(forced->mutex);
        forced->forced = true;
        forced->changed.notify_all();
      });
  Norv::ServiceModel::ShutdownClient client(pid, key, callback);
  Say("subscribed");
  // The input watcher ends the wait on end of input; it is detached because
  // a forced end leaves it blocked in read.
  std::thread([forced] {
    DrainInput();
    std::lock_guard<std::mutex> lock(forced->mutex);
    forced->forced = true;
    forced->changed.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(forced->mutex);
  forced->changed.wait(lock, [&] { return forced->forced; });
  return 0;
}

int Host(int pid) {
  Norv::ServiceModel::Interop::ShutdownFactory::StartShutdownService(pid);
  Say("started");
  DrainInput();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Dies with the test that started it, even when stopped (SIGSTOP): a test
  // process that aborts leaves no helper behind holding its pipes.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  try {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "subscribe" && argc == 5) {
      return Subscribe(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    }
    if (mode == "host" && argc == 3) return Host(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: shutdown_helper subscribe PID KEY yes|no|fail | host PID\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "shutdown_helper: %s\n", e.what());
    return 1;
  }
}
