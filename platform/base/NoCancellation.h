// NoCancellation: while one lives, a cancellation of the calling thread
// (pthread_cancel) waits; it acts at ActOnPending, or at the thread's first
// cancellation point after the outermost one has gone. For work that must not
// stop halfway and for frames that cannot unwind: glibc unwinds a cancelled
// thread from inside close, write or fsync, and unwinding out of a noexcept
// function or a destructor ends the process. A wait that a host may cancel
// sleeps in short slices with ActOnPending between them, so the unwinding
// starts in the waiter's own frame (never from a signal handler inside a
// system call, which AddressSanitizer cannot follow either). Header-only,
// like UniqueFd.
//
// Thread-safety: acts on the calling thread only.
#ifndef NORV_PLATFORM_BASE_NO_CANCELLATION_H_
#define NORV_PLATFORM_BASE_NO_CANCELLATION_H_

#include <pthread.h>

namespace Norv::Platform::internal {

class NoCancellation {
 public:
  NoCancellation() noexcept { ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous_); }
  ~NoCancellation() { ::pthread_setcancelstate(previous_, nullptr); }
  NoCancellation(const NoCancellation&) = delete;
  NoCancellation& operator=(const NoCancellation&) = delete;

  // Unwinds from here when a cancellation is pending and the thread allowed
  // cancellation when this object was made.
  void ActOnPending() {
    if (previous_ != PTHREAD_CANCEL_ENABLE) return;
    ::pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    ::pthread_testcancel();
    ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  }

 private:
  int previous_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace Norv::Platform::internal

#endif  // NORV_PLATFORM_BASE_NO_CANCELLATION_H_
