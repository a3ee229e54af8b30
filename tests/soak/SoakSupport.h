// Pieces of the soak driver: a watchdog that ends the whole soak (children
// included) when it runs past its time limit, a snapshot of the process's
// open descriptors and resident memory, and a client process of the soak
// speaking its line protocol (see soak_client.cc).
//
// Thread-safety: the Watchdog's static members may be called from any
// thread; a ResourceSnapshot is a value; a ClientProcess belongs to one
// thread.
#ifndef NORV_TESTS_SOAK_SOAK_SUPPORT_H_
#define NORV_TESTS_SOAK_SOAK_SUPPORT_H_

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace Norv::Soak {

// While it lives, a thread that kills every tracked child and ends the
// process with status 1 when `limit` passes: nothing the soak waits for can
// hang it.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  static void Track(pid_t pid);
  static void Untrack(pid_t pid);

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::thread thread_;
};

struct ResourceSnapshot {
  // Descriptor number to what it refers to ("socket:[123]", a path).
  std::map<int, std::string> fds;
  // Resident set size in bytes.
  long long rss = 0;

  static ResourceSnapshot Take();
  // The descriptors open in `later` but not here, and the other way round,
  // as "fd 31 (socket:[4242])" lists; empty when both sets are the same.
  std::string DescribeChange(const ResourceSnapshot& later) const;
};

// One norv_soak_client process; killed on destruction if it has not quit.
class ClientProcess {
 public:
  ClientProcess(const std::string& program, int hostPid, int key);
  ~ClientProcess();
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;

  int Key() const noexcept { return key_; }

  void Send(const std::string& line);
  // The next line, which must start with `word`. Raises, naming the client,
  // when it printed an error, something else, or nothing within `timeout`.
  std::string Expect(const std::string& word, std::chrono::milliseconds timeout);
  // Sends quit; WaitForExit then waits for exit status 0 and raises
  // otherwise. Apart, so that all clients can end at the same time.
  void Quit();
  void WaitForExit(std::chrono::milliseconds timeout);

  // Kills the process at once (the soak's self-check).
  void Kill() { child_.Kill(SIGKILL); }

  std::string Describe() const;

 private:
  int key_;
  Testing::ChildProcess child_;
};

}  // namespace Norv::Soak

#endif  // NORV_TESTS_SOAK_SOAK_SUPPORT_H_
