// Diagnostics: the failures that the library swallows by design (the two
// LogOn members, opening and closing the shutdown host, each call out to a
// shutdown client), handed as structured events to a handler that the host
// application installed. The library writes no log and shows no message:
// with no handler installed, nothing is recorded and nothing costs more than
// one atomic load on a path that has already failed.
//
// Reporting never blocks: an event is put in a bounded queue and handed to
// the handler on a thread of the library's own, so a handler that is slow,
// blocks or raises delays no call. When the queue is full the event is
// dropped and counted; the next event delivered carries the count.
//
// Thread-safety: every function may be called from any thread at any time.
// The handler is called on one delivery thread, one event at a time; what it
// raises is swallowed.
#ifndef NORV_SERVICES_DIAGNOSTICS_H_
#define NORV_SERVICES_DIAGNOSTICS_H_

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "PlatformExport.h"

namespace Norv::ServiceModel {

// Which swallowed failure an event reports.
enum class DiagnosticKind : std::int32_t {
  kLogOnFailed = 0,              // MirnDataService::LogOn or Halvane::LogOn
  kShutdownOpenFailed = 1,       // StartShutdownService could not open the host
  kShutdownCloseFailed = 2,      // StopShutdownService: closing the host failed
  kShutdownClientCallFailed = 3  // a RequestShutdown or ForceShutdown to a client
};

// "logon-failed", "shutdown-open-failed", "shutdown-close-failed",
// "shutdown-client-call-failed".
NORV_PLATFORM_API std::string_view DiagnosticKindName(DiagnosticKind kind) noexcept;

struct DiagnosticEvent {
  DiagnosticKind kind = DiagnosticKind::kLogOnFailed;
  std::string operation;     // "MirnDataService::LogOn", "RequestShutdown", ...
  std::int32_t pid = 0;      // the process whose endpoint was meant, 0 when none
  std::int32_t key = 0;      // a shutdown client's key; 0 for the other kinds
  std::int32_t peerPid = 0;  // the client's process for a call out, 0 when unknown
  std::string message;       // what the swallowed exception said
  std::chrono::system_clock::time_point when;
  // Events dropped, because the queue was full, since the previous event
  // delivered.
  std::uint64_t droppedBefore = 0;
};

using DiagnosticsHandler = std::function<void(const DiagnosticEvent&)>;

// Installs `handler` (an empty one removes it). Removing waits until the
// event being delivered, if any, has been handled, and drops the queued
// ones; a handler must not install or remove handlers itself.
NORV_PLATFORM_API void SetDiagnosticsHandler(DiagnosticsHandler handler);

// Queues `event` for the installed handler; does nothing when none is
// installed. Never blocks and never raises.
NORV_PLATFORM_API void ReportDiagnostic(DiagnosticEvent event) noexcept;

// Whether a handler is installed: the reporters build no event otherwise.
NORV_PLATFORM_API bool DiagnosticsEnabled() noexcept;

// Events dropped since the process started because the queue was full.
NORV_PLATFORM_API std::uint64_t DiagnosticsDropped() noexcept;

// For a member that swallowed `failure` (null: not a std::exception):
// reports it as an event of `kind` when a handler is installed.
inline void ReportSwallowed(DiagnosticKind kind, std::string_view operation, std::int32_t pid,
                            const std::exception* failure) noexcept {
  if (!DiagnosticsEnabled()) return;
  try {
    DiagnosticEvent event;
    event.kind = kind;
    event.operation = std::string(operation);
    event.pid = pid;
    event.message = failure != nullptr ? failure->what() : "an exception of unknown type";
    ReportDiagnostic(std::move(event));
  } catch (...) {
    // Out of memory while describing a failure: the event is lost.
  }
}

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_DIAGNOSTICS_H_
