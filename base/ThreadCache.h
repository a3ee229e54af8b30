// ThreadCache<T>: one T per thread, made at the thread's first use and kept
// for the thread's life, as a cache that a call can always do without.
//
// C++ destroys a thread's thread_local objects when the thread ends: on the
// main thread before static destructors and atexit handlers run, and on any
// thread in the reverse order of their construction, so that one thread_local
// destructor may run after another is gone. A plain thread_local used then is
// an object already destroyed (gRPC's completion queue aborts in it). Beside
// the cached T, ThreadCache keeps a trivially destructible per-thread state,
// so that once the thread's T is gone, Use hands `fn` a T made for that one
// call. A thread that never had one (a new thread, or a thread_local
// destructor that runs first) gets its T made on the spot.
//
// Each use names a T of its own (a struct in the user's anonymous namespace
// or internal namespace), so that two caches never share a slot.
//
// Shared by the bridges and the platform; header-only; not installed.
// Thread-safety: each thread has its own T; Use may be called from any
// thread at any time after loading, thread_local destructors, atexit
// handlers and static destructors included. `fn` must not use the same
// cache again on its thread.
#ifndef NORV_BASE_THREAD_CACHE_H_
#define NORV_BASE_THREAD_CACHE_H_

#include <utility>

namespace Norv::Base {

template <class T>
class ThreadCache {
 public:
  ThreadCache() = delete;

  // Runs fn(T&) with this thread's T, or with one made for this call once
  // the thread's is gone; returns what fn returns.
  template <class Fn>
  static decltype(auto) Use(Fn&& fn) {
    if (T* cached = Cached()) return std::forward<Fn>(fn)(*cached);
    T once;
    return std::forward<Fn>(fn)(once);
  }

 private:
  // This thread's T, made now if the thread has none yet; null once the
  // thread's thread_local objects are being or have been destroyed.
  static T* Cached() {
    if (T* live = live_) [[likely]] {
      return live;
    }
    if (gone_) return nullptr;
    return Make();
  }

  struct Slot {
    Slot() { live_ = &value; }
    ~Slot() {
      live_ = nullptr;
      gone_ = true;
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    T value;
  };

  // Out of line: the guarded thread_local and its destructor's registration
  // stay off the path of every later use. A slot first made after the main
  // thread's thread_local objects were destroyed (in an atexit handler) is
  // never destroyed, which only leaves it to the process's end.
  [[gnu::noinline]] static T* Make() {
    thread_local Slot slot;
    return &slot.value;
  }

  // Trivially destructible, so readable for the thread's whole life.
  static inline thread_local constinit T* live_ = nullptr;
  static inline thread_local constinit bool gone_ = false;
};

}  // namespace Norv::Base

#endif  // NORV_BASE_THREAD_CACHE_H_
