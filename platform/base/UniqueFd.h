// UniqueFd owns one file descriptor and closes it on scope exit: the one
// descriptor holder of the platform. Header-only, so that the reference
// services and norvctl, which sit outside the platform library, can use it
// too. Closing never acts on a cancellation of the calling thread (it runs in
// destructors and noexcept frames, which a cancellation cannot unwind); the
// descriptor is always released. Not thread-safe: one owner at a time, like
// the descriptor itself.
#ifndef NORV_PLATFORM_BASE_UNIQUE_FD_H_
#define NORV_PLATFORM_BASE_UNIQUE_FD_H_

#include <unistd.h>

#include "platform/base/Cancellation.h"

namespace Norv::Platform::internal {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0) CloseFd(fd_);
    fd_ = fd;
  }
  // Closes now and returns close's own result, which reports a deferred
  // write error.
  int Close() noexcept { return CloseFd(Release()); }
  int Release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  static int CloseFd(int fd) noexcept {
    CancellationDeferred deferred;
    return ::close(fd);
  }

  int fd_ = -1;
};

}  // namespace Norv::Platform::internal

#endif  // NORV_PLATFORM_BASE_UNIQUE_FD_H_
