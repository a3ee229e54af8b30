// What the shutdown coordination service knows of each subscribed client: a
// record per key, and how a host application reads them from the service it
// runs.
//
// The service object (in the shutdown bridge) keeps the records and shows
// them through IShutdownRegistryView; the platform reads that view for the
// host application (ReadShutdownRegistry) and for the introspection service
// of the endpoint.
//
// Thread-safety: ReadShutdownRegistry may be called from any thread; a
// view's Records may be called from any thread while the object lives.
#ifndef NORV_SERVICES_SHUTDOWN_REGISTRY_H_
#define NORV_SERVICES_SHUTDOWN_REGISTRY_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PlatformExport.h"

namespace Norv::ServiceModel {

// The last answer a client gave to a call out to it.
enum class ShutdownAnswer : std::int32_t {
  kNone = 0,      // never called
  kAgreed = 1,    // RequestShutdown answered true, or ForceShutdown completed
  kRefused = 2,   // RequestShutdown answered false
  kFailed = 3,    // the call failed: the client raised, or the session broke
  kTimedOut = 4,  // no answer within the callback time-out
};

// "none", "agreed", "refused", "failed", "timed-out".
NORV_PLATFORM_API std::string_view ShutdownAnswerName(ShutdownAnswer answer) noexcept;

struct ShutdownSubscriberRecord {
  std::int32_t key = 0;
  std::int32_t pid = 0;  // the subscriber's process, 0 when unknown
  std::uint32_t uid = 0;
  std::string processName;  // /proc/<pid>/comm when it subscribed, raw bytes
  bool connected = false;   // its session is open now
  std::chrono::system_clock::time_point subscribedAt;
  ShutdownAnswer lastAnswer = ShutdownAnswer::kNone;
  std::chrono::system_clock::time_point answeredAt;  // epoch when kNone
};

// Implemented by a service object that keeps a shutdown registry.
class NORV_PLATFORM_API IShutdownRegistryView {
 public:
  // The records sorted by key, as they stand now.
  virtual std::vector<ShutdownSubscriberRecord> Records() const = 0;

 protected:
  virtual ~IShutdownRegistryView();
};

// The registry of the shutdown service that this process hosts, open, on
// endpoint "Shutdown" of process `pid`; nullopt when no such host is open
// here. Never raises but std::bad_alloc.
NORV_PLATFORM_API std::optional<std::vector<ShutdownSubscriberRecord>> ReadShutdownRegistry(
    std::int32_t pid);

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_SHUTDOWN_REGISTRY_H_
