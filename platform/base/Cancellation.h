// Cancellation: how the platform lets a host cancel (pthread_cancel) a thread
// blocked in one of its calls without the unwinding ever starting where it
// cannot go on.
//
// While a CancellationDeferred lives, a cancellation of the calling thread
// waits; it acts only at CancellationPoint(), in the platform's own frames,
// and only if the thread allowed cancellation when the outermost one was
// made. Frames that cannot be unwound through: gRPC's own, glibc's close,
// write and fsync (which act on a cancellation) called from a noexcept
// function or a destructor, where unwinding ends the process. A wait that a
// host may cancel sleeps in slices of at most kCancellationSlice with a
// CancellationPoint() between them, so the unwinding starts in the waiter's
// frame (never from a signal handler inside a system call, which
// AddressSanitizer cannot follow either) within one slice.
//
// Header-only, like UniqueFd, so that the reference servers can use it too;
// each library or program holding a copy keeps its own nesting flag.
// Thread-safety: acts on the calling thread only.
#ifndef NORV_PLATFORM_BASE_CANCELLATION_H_
#define NORV_PLATFORM_BASE_CANCELLATION_H_

#include <pthread.h>

#include <chrono>

namespace Norv::Platform::internal {

// Whether the innermost CancellationDeferred of this thread found
// cancellation allowed. Trivially destructible: readable at any time.
inline thread_local constinit bool tCancellationAllowed = false;

class CancellationDeferred {
 public:
  CancellationDeferred() noexcept : previousAllowed_(tCancellationAllowed) {
    ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previousState_);
    tCancellationAllowed = previousAllowed_ || previousState_ == PTHREAD_CANCEL_ENABLE;
  }
  ~CancellationDeferred() {
    tCancellationAllowed = previousAllowed_;
    ::pthread_setcancelstate(previousState_, nullptr);
  }
  CancellationDeferred(const CancellationDeferred&) = delete;
  CancellationDeferred& operator=(const CancellationDeferred&) = delete;

 private:
  int previousState_ = PTHREAD_CANCEL_ENABLE;
  bool previousAllowed_ = false;
};

// How long a cancellable wait lasts at most before a pending cancellation of
// the waiting thread is looked at.
inline constexpr std::chrono::milliseconds kCancellationSlice{50};

// Acts on a pending cancellation of this thread, if the innermost
// CancellationDeferred allows it; does nothing outside one.
inline void CancellationPoint() {
  if (!tCancellationAllowed) return;
  // Unwinds from here when a cancellation is pending; the frames above are
  // the caller's own, which unwind cleanly.
  ::pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  ::pthread_testcancel();
  ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}

}  // namespace Norv::Platform::internal

#endif  // NORV_PLATFORM_BASE_CANCELLATION_H_
