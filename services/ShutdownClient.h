// ShutdownClient: a client application's subscription to the shutdown
// coordination service that a host application runs on its endpoint
// "Shutdown" (see /usr/share/doc/libnorv-interop-dev/shutdown.md).
//
// A ShutdownClient opens one duplex session to the endpoint "Shutdown" of a
// process and subscribes under a key of the application's choice. While the
// session is open, the callback object answers the service's
// RequestShutdown (true to agree) and receives its ForceShutdown, on a
// component thread. The service bounds each callback by the host's callback
// time-out (5 s unless the host changes it); a callback that does not answer
// in time counts as agreeing.
//
// When the service's side ends the session, an optional end handler hears it
// once, with the reason: the host closed (its application stopped the
// service or closed the host), its process died (the socket stays behind
// with nobody accepting on it), or the session broke while the host still
// listens. The client's own Close or destruction is not reported: the
// application knows of it already, and a handler that ran while the client
// was being destroyed could reach an object that is going away. Unsubscribe
// ends no session and reports nothing. The handler runs on a component
// thread, outside every lock of the session; it may call Close or IsOpen,
// and whatever it raises is swallowed.
//
// Thread-safety: Subscribe, Unsubscribe and Ping may be called from any
// thread, also from inside the callback object's handlers (the component
// answers callbacks on a thread that never waits for the session's own
// replies). Close and the destructor must not overlap other calls.
#ifndef NORV_SERVICES_SHUTDOWN_CLIENT_H_
#define NORV_SERVICES_SHUTDOWN_CLIENT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "IShutdown.h"
#include "NamedPipeServiceHost.h"
#include "PlatformExport.h"

namespace Norv::ServiceModel {

// A callback object made of two functions. A null onRequest agrees; a null
// onForce does nothing. Whatever a function raises goes back to the service,
// which counts a failed request as agreeing.
class NORV_PLATFORM_API ShutdownCallback final : public Contracts::Service::IShutdownCallback {
 public:
  ShutdownCallback(std::function<bool()> onRequest, std::function<void()> onForce);
  ~ShutdownCallback() override;

  bool RequestShutdown() override;
  void ForceShutdown() override;

 private:
  std::function<bool()> onRequest_;
  std::function<void()> onForce_;
};

// Why a ShutdownClient's session ended.
enum class ShutdownSessionEnd {
  kHostClosed,  // the host ended the session on purpose
  kHostDied,    // the host's process died: its socket is left with nobody listening
  kBroken,      // the session broke while the host still listens
};

// A short English name of `reason` ("host closed", "host died", "broken").
NORV_PLATFORM_API const char* Describe(ShutdownSessionEnd reason) noexcept;

// Hears the end of a session: the reason, and a sentence naming the
// process, the endpoint and what ended it.
using ShutdownSessionEndHandler =
    std::function<void(ShutdownSessionEnd reason, const std::string& message)>;

class NORV_PLATFORM_API ShutdownClient {
 public:
  static constexpr std::string_view kEndpointName = "Shutdown";

  // Opens a session to endpoint "Shutdown" of process `pid` and subscribes
  // under `key`. Raises the component's exception (naming the process, the
  // endpoint and the operation) when nobody listens or Subscribe fails; the
  // session is then closed again. Once the constructor has returned, `onEnd`
  // (may be null) hears the end of the session as described above; a
  // session that the service ends before then makes the constructor raise
  // CommunicationException instead, so that every end is reported once.
  ShutdownClient(std::int32_t pid, std::int32_t key,
                 std::shared_ptr<Contracts::Service::IShutdownCallback> callback,
                 ShutdownSessionEndHandler onEnd = nullptr);
  // Ends the session (see Close).
  ~ShutdownClient();
  ShutdownClient(const ShutdownClient&) = delete;
  ShutdownClient& operator=(const ShutdownClient&) = delete;

  // Subscribes this session under `key` as well, replacing whatever session
  // was recorded under it.
  void Subscribe(std::int32_t key);
  // Asks the service to forget `key`.
  void Unsubscribe(std::int32_t key);
  // A round trip to the service; raises when it is gone.
  void Ping();

  // Ends the session without unsubscribing: the service keeps the key but
  // sees the client as disconnected and skips it. Call Unsubscribe first to
  // have the key forgotten at once. Idempotent.
  void Close() noexcept;
  bool IsOpen() const noexcept;

  std::int32_t Pid() const noexcept { return pid_; }
  std::int32_t Key() const noexcept { return key_; }

 private:
  std::int32_t pid_;
  std::int32_t key_;
  std::shared_ptr<DuplexChannel<Contracts::Service::IShutdown>> channel_;
};

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_SHUTDOWN_CLIENT_H_
