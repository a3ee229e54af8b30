// The client side of a duplex session as the component's own clients (the
// ShutdownClient) use it: a DuplexChannel that can also report the end of
// its session to a handler.
//
// Thread-safety: as DuplexChannel; the handler runs on the session's reader
// thread, at most once, never while a lock of the session is held.
#ifndef NORV_PLATFORM_PIPES_DUPLEX_CLIENT_H_
#define NORV_PLATFORM_PIPES_DUPLEX_CLIENT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel::internal {

enum class SessionEndKind {
  kHostClosed,  // the host ended the session on purpose (closed, stopped)
  kHostDied,    // the stream broke and nobody accepts on the host's socket any more
  kBroken,      // the stream broke while the host still listens
};

// Called once when the service's side ends an armed session: the kind and a
// sentence naming the process, the endpoint and the reason.
using SessionEndHandler = std::function<void(SessionEndKind, const std::string&)>;

class DuplexSession : public DuplexChannel<Contracts::Service::IShutdown> {
 public:
  // From now on, an end of the session that the client did not cause itself
  // (Close, destruction) is reported to the handler. False when the session
  // has already ended: then nothing will be reported.
  virtual bool ArmEndHandler() = 0;
  // Why the session ended, or "" while it is open.
  virtual std::string EndReason() const = 0;
};

// Opens a session as DuplexChannelFactory does, with `onEnd` (may be null)
// held until ArmEndHandler.
std::shared_ptr<DuplexSession> CreateDuplexSession(
    std::shared_ptr<Contracts::Service::IShutdownCallback> callback, std::int32_t pid,
    std::string_view name, SessionEndHandler onEnd);

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_DUPLEX_CLIENT_H_
