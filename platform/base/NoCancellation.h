// NoCancellation: while one lives, a cancellation of the calling thread
// (pthread_cancel) waits; it acts at the thread's first cancellation point
// after the outermost one has gone. For work that must not stop halfway and
// for frames that cannot unwind: glibc unwinds a cancelled thread from inside
// close, write or fsync, and unwinding out of a noexcept function or a
// destructor ends the process. Header-only, like UniqueFd.
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

 private:
  int previous_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace Norv::Platform::internal

#endif  // NORV_PLATFORM_BASE_NO_CANCELLATION_H_
