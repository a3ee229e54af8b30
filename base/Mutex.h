// Mutex, MutexLock and CondVar: std::mutex and std::condition_variable with
// clang's thread-safety annotations (Abseil's macros), so that the
// thread-safety build (-Wthread-safety) checks that every member marked
// ABSL_GUARDED_BY(mu_) is touched only with mu_ held. libstdc++'s own mutex
// carries no annotations. absl::Mutex does, but Debian's Abseil is built
// without ThreadSanitizer's hooks, so the tsan build would see no ordering
// through it and report races on everything it guards; these wrappers keep
// the standard mutex underneath, which ThreadSanitizer understands.
//
// A predicate handed to CondVar runs with the mutex held; give the lambda
// ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) so that the analysis knows it too.
//
// Shared by the bridges, the platform, the reference services and norvctl;
// header-only; not installed. Thread-safety: that of std::mutex and
// std::condition_variable.
#ifndef NORV_BASE_MUTEX_H_
#define NORV_BASE_MUTEX_H_

#include <absl/base/thread_annotations.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Norv::Base {

class ABSL_LOCKABLE Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() { mu_.lock(); }
  void Unlock() ABSL_UNLOCK_FUNCTION() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex from construction to destruction; Unlock and Lock release
// and take it again in between.
class ABSL_SCOPED_LOCKABLE MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ABSL_EXCLUSIVE_LOCK_FUNCTION(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() ABSL_UNLOCK_FUNCTION() {
    if (locked_) mu_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() ABSL_UNLOCK_FUNCTION() {
    mu_->Unlock();
    locked_ = false;
  }
  void Lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() {
    mu_->Lock();
    locked_ = true;
  }

 private:
  Mutex* const mu_;
  bool locked_ = true;
};

class CondVar {
 public:
  void Signal() noexcept { cv_.notify_one(); }
  void SignalAll() noexcept { cv_.notify_all(); }

  // Blocks, with `mu` released, until `ready()` answers true.
  template <class Predicate>
  void Wait(Mutex* mu, Predicate ready) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu) {
    Adopted held(mu);
    cv_.wait(held.lock, std::move(ready));
  }

  // Like Wait, but for at most `timeout`; answers ready() at the end (false:
  // timed out).
  template <class Rep, class Period, class Predicate>
  bool WaitFor(Mutex* mu, const std::chrono::duration<Rep, Period>& timeout, Predicate ready)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu) {
    Adopted held(mu);
    return cv_.wait_for(held.lock, timeout, std::move(ready));
  }

 private:
  // The caller's hold on the mutex, lent to the condition variable for one
  // wait and handed back (still held) whatever happens.
  struct Adopted {
    explicit Adopted(Mutex* mu) : lock(mu->mu_, std::adopt_lock) {}
    ~Adopted() { lock.release(); }
    std::unique_lock<std::mutex> lock;
  };

  std::condition_variable cv_;
};

}  // namespace Norv::Base

#endif  // NORV_BASE_MUTEX_H_
