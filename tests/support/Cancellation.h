// Cancelling a thread that is blocked in a call, as a host may: a gate that a
// scripted service holds the call at, and the cancellation itself.
//
// Thread-safety: CallGate may be used from any thread.
#ifndef NORV_TESTS_SUPPORT_CANCELLATION_H_
#define NORV_TESTS_SUPPORT_CANCELLATION_H_

#include <condition_variable>
#include <mutex>

namespace Norv::Testing {

class CallGate {
 public:
  // Run by the service: says the call arrived, then holds it until Release
  // (at most 10 s, so that a failed test still ends).
  void Hold();
  void Release();
  // Whether a call arrived within 5 s.
  bool AwaitCall();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
};

// Runs `call` on a new thread, waits until the service holds it at `gate`,
// cancels the thread and joins it, then releases the gate. Answers 0 when the
// thread ended cancelled, 2 when no thread could be started, 3 when the call
// never reached the service, 4 when the thread returned normally. Meant for
// the body of a death test, whose process an abort would end.
int CancelWhileBlocked(void (*call)(), CallGate& gate);

}  // namespace Norv::Testing

#endif  // NORV_TESTS_SUPPORT_CANCELLATION_H_
