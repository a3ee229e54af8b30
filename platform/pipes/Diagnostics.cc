// The delivery of diagnostic events (services/Diagnostics.h): a bounded
// queue that reporters append to under a mutex held only for the append, and
// one thread that hands the events to the host's handler with no lock held.
// The thread starts when a handler is installed and stops when it is
// removed; loading the library starts nothing. Its state is never destroyed,
// so a report at exit finds it; a thread still delivering at exit is not
// joined, like a host's.
#include <unistd.h>

#include <atomic>
#include <deque>
#include <thread>
#include <utility>

#include "base/Mutex.h"
#include "base/NoDestructor.h"
#include "base/SwallowFailures.h"
#include "services/Diagnostics.h"

namespace Norv::ServiceModel {

namespace internal {
namespace {

// Enough for a walk over a few hundred failing clients between two
// deliveries; a handler slower than that loses events, counted.
constexpr std::size_t kQueueCapacity = 1024;

std::atomic<bool> gEnabled{false};
std::atomic<std::uint64_t> gDroppedTotal{0};

struct Delivery {
  // Serialises installing and removing handlers.
  Base::Mutex installMu;
  Base::Mutex mu;
  Base::CondVar changed;
  std::deque<DiagnosticEvent> queue ABSL_GUARDED_BY(mu);
  std::uint64_t dropped ABSL_GUARDED_BY(mu) = 0;
  bool stopping ABSL_GUARDED_BY(mu) = false;
  // The process that started the thread: a child forked without exec has
  // no delivery thread and reports nothing.
  pid_t owner ABSL_GUARDED_BY(mu) = 0;
  DiagnosticsHandler handler;  // written only while no thread runs
  std::thread thread;

  void Run() {
    Base::MutexLock lock(&mu);
    for (;;) {
      changed.Wait(
          &mu, [this]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu) { return stopping || !queue.empty(); });
      if (stopping) return;
      DiagnosticEvent event = std::move(queue.front());
      queue.pop_front();
      event.droppedBefore = std::exchange(dropped, 0);
      lock.Unlock();
      Base::SwallowFailures([&] { handler(event); });
      lock.Lock();
    }
  }
};

Delivery& TheDelivery() {
  static Base::NoDestructor<Delivery> delivery;
  return *delivery;
}

}  // namespace
}  // namespace internal

std::string_view DiagnosticKindName(DiagnosticKind kind) noexcept {
  switch (kind) {
    case DiagnosticKind::kLogOnFailed:
      return "logon-failed";
    case DiagnosticKind::kShutdownOpenFailed:
      return "shutdown-open-failed";
    case DiagnosticKind::kShutdownCloseFailed:
      return "shutdown-close-failed";
    case DiagnosticKind::kShutdownClientCallFailed:
      return "shutdown-client-call-failed";
  }
  return "unknown";
}

void SetDiagnosticsHandler(DiagnosticsHandler handler) {
  internal::Delivery& d = internal::TheDelivery();
  Base::MutexLock install(&d.installMu);
  internal::gEnabled.store(false, std::memory_order_release);
  if (d.thread.joinable()) {
    {
      Base::MutexLock lock(&d.mu);
      d.stopping = true;
    }
    d.changed.SignalAll();
    d.thread.join();
  }
  {
    Base::MutexLock lock(&d.mu);
    d.queue.clear();
    d.stopping = false;
    d.owner = ::getpid();
  }
  d.handler = std::move(handler);
  if (!d.handler) return;
  d.thread = std::thread([&d] { d.Run(); });
  internal::gEnabled.store(true, std::memory_order_release);
}

bool DiagnosticsEnabled() noexcept { return internal::gEnabled.load(std::memory_order_acquire); }

void ReportDiagnostic(DiagnosticEvent event) noexcept {
  if (!DiagnosticsEnabled()) return;
  internal::Delivery& d = internal::TheDelivery();
  try {
    if (event.when == std::chrono::system_clock::time_point{}) {
      event.when = std::chrono::system_clock::now();
    }
    Base::MutexLock lock(&d.mu);
    if (d.owner != ::getpid() || d.stopping) return;
    if (d.queue.size() >= internal::kQueueCapacity) {
      ++d.dropped;
      internal::gDroppedTotal.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    d.queue.push_back(std::move(event));
  } catch (...) {
    internal::gDroppedTotal.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  d.changed.Signal();
}

std::uint64_t DiagnosticsDropped() noexcept {
  return internal::gDroppedTotal.load(std::memory_order_relaxed);
}

}  // namespace Norv::ServiceModel
