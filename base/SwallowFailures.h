// SwallowFailures: runs a callable and swallows whatever it raises, except a
// thread's cancellation. For the members that report no failure by design:
// a host may still cancel a thread blocked in one, and the cancellation's
// unwinding must go on, or the process aborts ("exception not rethrown").
//
// Header-only; not installed. Thread-safety: stateless.
#ifndef NORV_BASE_SWALLOW_FAILURES_H_
#define NORV_BASE_SWALLOW_FAILURES_H_

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace Norv::Base {

// A cancellation's unwinding carries no exception object, so the catch below
// binds its reference to null. That is the documented way to see one, but
// UndefinedBehaviorSanitizer reports the binding; its null check is off for
// this function alone.
template <class Fn>
__attribute__((no_sanitize("null"))) void SwallowFailures(Fn&& fn) {
  try {
    std::forward<Fn>(fn)();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

// The same, and hands what was raised to `onFailure` (a const
// std::exception*, null for anything that is not a std::exception), so that
// a member that reports no failure to its caller can still describe it to a
// diagnostics handler. What onFailure raises is swallowed too.
template <class Fn, class OnFailure>
__attribute__((no_sanitize("null"))) void SwallowFailures(Fn&& fn, OnFailure&& onFailure) {
  try {
    std::forward<Fn>(fn)();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    SwallowFailures([&] { onFailure(&e); });
  } catch (...) {
    SwallowFailures([&] { onFailure(static_cast<const std::exception*>(nullptr)); });
  }
}

}  // namespace Norv::Base

#endif  // NORV_BASE_SWALLOW_FAILURES_H_
