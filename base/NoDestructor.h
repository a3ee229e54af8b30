// NoDestructor<T>: a T constructed in place and never destroyed, for state
// that must outlive every other static object (process exit then runs no
// destructor that closes a host or joins threads). Abseil's own NoDestructor
// came after release 20220623, the one Debian 12 ships.
//
// Shared by the bridges and the platform; header-only; not installed.
// Thread-safety: that of T; construction is that of any static object.
#ifndef NORV_BASE_NO_DESTRUCTOR_H_
#define NORV_BASE_NO_DESTRUCTOR_H_

#include <utility>

namespace Norv::Base {

template <class T>
class NoDestructor {
 public:
  template <class... Args>
  constexpr explicit NoDestructor(Args&&... args) : value_(std::forward<Args>(args)...) {}
  ~NoDestructor() {}  // deliberately leaves value_ alone
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& operator*() noexcept { return value_; }
  const T& operator*() const noexcept { return value_; }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }

 private:
  union {
    T value_;
  };
};

}  // namespace Norv::Base

#endif  // NORV_BASE_NO_DESTRUCTOR_H_
