#include "tests/support/Cancellation.h"

#include <pthread.h>

#include <chrono>

namespace Norv::Testing {

void CallGate::Hold() {
  std::unique_lock lock(mutex_);
  entered_ = true;
  changed_.notify_all();
  changed_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
}

void CallGate::Release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

bool CallGate::AwaitCall() {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return entered_; });
}

int CancelWhileBlocked(void (*call)(), CallGate& gate) {
  pthread_t caller;
  auto run = [](void* fn) -> void* {
    reinterpret_cast<void (*)()>(fn)();
    return nullptr;
  };
  if (::pthread_create(&caller, nullptr, run, reinterpret_cast<void*>(call)) != 0) return 2;
  if (!gate.AwaitCall()) {
    gate.Release();
    ::pthread_join(caller, nullptr);
    return 3;
  }
  ::pthread_cancel(caller);
  void* result = nullptr;
  ::pthread_join(caller, &result);
  gate.Release();
  return result == PTHREAD_CANCELED ? 0 : 4;
}

}  // namespace Norv::Testing
