#include "servers/launcher/ChildReaper.h"

#include <errno.h>
#include <sys/wait.h>

#include <utility>

namespace Norv::Servers::internal {

// Shared by the reaper and its waiters, so that a detached waiter outliving
// the reaper still has somewhere to report.
struct ChildReaper::Ticket::State {
  mutable Base::Mutex mutex;
  mutable Base::CondVar reaped;
  std::size_t running ABSL_GUARDED_BY(mutex) = 0;
};

void ChildReaper::Ticket::Watch(pid_t pid) {
  {
    Base::MutexLock lock(&reaperState_->mutex);
    ++reaperState_->running;
  }
  pid_.set_value(pid);
}

ChildReaper::ChildReaper() : state_(std::make_shared<Ticket::State>()) {}

ChildReaper::~ChildReaper() {
  Base::MutexLock lock(&waitersMutex_);
  for (Waiter& waiter : waiters_) {
    if (waiter.finished->load(std::memory_order_acquire)) {
      waiter.thread.join();
    } else {
      waiter.thread.detach();
    }
  }
}

ChildReaper::Ticket ChildReaper::Prepare() {
  std::promise<pid_t> promise;
  std::future<pid_t> future = promise.get_future();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  Base::MutexLock lock(&waitersMutex_);
  JoinFinishedLocked();
  // The waiter owns everything it touches: the future, the shared state and
  // its own finished flag.
  std::thread thread([state = state_, future = std::move(future), finished]() mutable {
    pid_t pid = -1;
    try {
      pid = future.get();
    } catch (const std::future_error&) {
      // The ticket was dropped: the spawn failed and there is no child.
    }
    if (pid > 0) {
      int status = 0;
      // ECHILD means the child was reaped already (SIGCHLD ignored by the
      // host), which is all this waiter is for.
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      Base::MutexLock stateLock(&state->mutex);
      --state->running;
      state->reaped.SignalAll();
    }
    finished->store(true, std::memory_order_release);
  });
  waiters_.push_back(Waiter{std::move(thread), std::move(finished)});
  return Ticket(state_, std::move(promise));
}

void ChildReaper::JoinFinishedLocked() {
  std::erase_if(waiters_, [](Waiter& waiter) {
    if (!waiter.finished->load(std::memory_order_acquire)) return false;
    waiter.thread.join();
    return true;
  });
}

std::size_t ChildReaper::Running() const {
  Base::MutexLock lock(&state_->mutex);
  return state_->running;
}

bool ChildReaper::WaitUntilNoneRunning(std::chrono::milliseconds timeout) const {
  Base::MutexLock lock(&state_->mutex);
  return state_->reaped.WaitFor(
      &state_->mutex, timeout,
      [this]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(state_->mutex) { return state_->running == 0; });
}

}  // namespace Norv::Servers::internal
