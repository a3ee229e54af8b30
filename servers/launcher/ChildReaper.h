// ChildReaper: waits for the tools a launcher started so that none is left a
// zombie, without touching child processes that anyone else started.
//
// Every watched child has a waiter thread blocked in waitpid() on that one
// pid; nothing waits on "any child" and nothing handles SIGCHLD, so a host
// that runs children of its own keeps their exit statuses. The waiter is
// started before the child is spawned (Prepare), so running out of threads
// fails the launch instead of leaving a child nobody reaps. When the reaper
// is destroyed while tools still run (tools may outlive their launcher), the
// waiters of those tools are detached: each still reaps its own child, and
// touches nothing but state it shares by ownership.
//
// Thread-safety: every member may be called from any thread at once.
#ifndef NORV_SERVERS_LAUNCHER_CHILD_REAPER_H_
#define NORV_SERVERS_LAUNCHER_CHILD_REAPER_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "base/Mutex.h"

namespace Norv::Servers::internal {

class ChildReaper {
 public:
  // A waiter ready for one child. Watch() hands it the child's pid; a ticket
  // dropped without a pid (the spawn failed) ends its waiter.
  class Ticket {
   public:
    Ticket(Ticket&&) noexcept = default;
    Ticket& operator=(Ticket&&) noexcept = default;
    ~Ticket() = default;
    void Watch(pid_t pid);

   private:
    friend class ChildReaper;
    struct State;
    Ticket(std::shared_ptr<State> reaperState, std::promise<pid_t> pid)
        : reaperState_(std::move(reaperState)), pid_(std::move(pid)) {}
    std::shared_ptr<State> reaperState_;
    std::promise<pid_t> pid_;
  };

  ChildReaper();
  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // Starts the waiter for a child about to be spawned; raises
  // std::system_error when no thread can be started.
  Ticket Prepare();

  // Children watched and not reaped yet.
  std::size_t Running() const;
  // Waits until every watched child has been reaped; false on time-out.
  bool WaitUntilNoneRunning(std::chrono::milliseconds timeout) const;

 private:
  struct Waiter {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void JoinFinishedLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(waitersMutex_);

  std::shared_ptr<Ticket::State> state_;
  Base::Mutex waitersMutex_;
  std::vector<Waiter> waiters_ ABSL_GUARDED_BY(waitersMutex_);
};

}  // namespace Norv::Servers::internal

#endif  // NORV_SERVERS_LAUNCHER_CHILD_REAPER_H_
