// The server side of a duplex session: ServerSession holds the state of one
// client's stream, SessionReactor drives the stream on gRPC's callback API
// (one reactor per session, no thread of its own), and
// ShutdownCallbackChannel is the callback channel handed to the service.
//
// Thread-safety: ServerSession's members may be called from any thread (its
// mutex guards everything but the constant site); the reactor's On* members
// are called by gRPC, one at a time for reads and for writes.
#ifndef NORV_PLATFORM_PIPES_SERVER_SESSION_H_
#define NORV_PLATFORM_PIPES_SERVER_SESSION_H_

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/Mutex.h"
#include "norv/contracts/v1/monitor.pb.h"
#include "norv/contracts/v1/shutdown.pb.h"
#include "platform/pipes/Runtime.h"
#include "services/IShutdown.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel::internal {

namespace v1 = norv::contracts::v1;
using Contracts::Service::IShutdownCallback;

class SessionReactor;

// The state of one client session, shared by its reactor and by the callback
// channel handed to the service. Once the session ends it shrinks to a light
// handle: the reactor, stream and queued messages are gone and Connected()
// is false.
//
// The reactor may be touched only while finishCalled_ is false (gRPC calls
// OnDone, which deletes it, only after Finish); Finish itself is called with
// no lock held because gRPC may run OnDone inline.
class ServerSession {
 public:
  ServerSession(std::string site, std::int32_t hostPid, std::string endpoint, PeerIdentity peer)
      : site_(std::move(site)),
        hostPid_(hostPid),
        endpoint_(std::move(endpoint)),
        peer_(std::move(peer)) {}

  void Attach(SessionReactor* reactor) {
    Base::MutexLock lock(&mu_);
    reactor_ = reactor;
  }

  bool Connected() const noexcept {
    Base::MutexLock lock(&mu_);
    return connected_;
  }

  const std::string& Site() const noexcept { return site_; }
  // Who opened the session, and when.
  const PeerIdentity& Peer() const noexcept { return peer_; }
  // Reports an event of this session to the attached monitors, if any.
  void Watch(v1::MonitorEvent::Kind kind, std::string_view operation,
             std::chrono::steady_clock::time_point started, std::string_view status,
             std::string_view fault, std::string_view answer) const noexcept;
  // Reports the session's end with the status it ended on.
  void WatchEnd() const noexcept;

  void StartReadIfOpen(v1::ClientMessage* into);
  bool Send(v1::ServerMessage message) {
    Base::MutexLock lock(&mu_);
    return SendLocked(std::move(message));
  }
  void OnWriteDone(bool ok);
  // Marks the session disconnected and finishes the stream once no write is
  // in flight.
  void End(const grpc::Status& status);
  // The reactor is gone.
  void Detach();

  void Complete(const v1::CallbackReply& reply);
  // Sends a callback and waits for its reply, bounded by the callback
  // time-out.
  v1::CallbackReply Callback(bool requestShutdown, const char* name);

 private:
  struct Pending {
    bool done = false;
    v1::CallbackReply reply;
  };

  bool SendLocked(v1::ServerMessage&& message) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void MarkEndedLocked(const grpc::Status& status) ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) {
    if (!finishRequested_) finishStatus_ = status;
    finishRequested_ = true;
    connected_ = false;
    cv_.SignalAll();
  }
  // Claims the right to call Finish; returns the reactor to call it on.
  SessionReactor* ClaimFinishLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) {
    if (!finishRequested_ || writing_ || finishCalled_ || reactor_ == nullptr) return nullptr;
    finishCalled_ = true;
    return reactor_;
  }

  const std::string site_;
  const std::int32_t hostPid_;
  const std::string endpoint_;
  const PeerIdentity peer_;
  const std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();
  mutable Base::Mutex mu_;
  Base::CondVar cv_;
  SessionReactor* reactor_ ABSL_GUARDED_BY(mu_) = nullptr;
  bool connected_ ABSL_GUARDED_BY(mu_) = true;
  bool writing_ ABSL_GUARDED_BY(mu_) = false;
  bool finishRequested_ ABSL_GUARDED_BY(mu_) = false;
  bool finishCalled_ ABSL_GUARDED_BY(mu_) = false;
  grpc::Status finishStatus_ ABSL_GUARDED_BY(mu_);
  // The front is being written while writing_.
  std::deque<v1::ServerMessage> outbox_ ABSL_GUARDED_BY(mu_);
  std::uint64_t nextCallbackId_ ABSL_GUARDED_BY(mu_) = 1;
  std::unordered_map<std::uint64_t, Pending> pending_ ABSL_GUARDED_BY(mu_);
};

class ShutdownCallbackChannel final : public IShutdownCallback, public SessionChannel {
 public:
  explicit ShutdownCallbackChannel(std::shared_ptr<ServerSession> session)
      : session_(std::move(session)) {}

  // In a child forked from the host's process the session is the parent's:
  // a callback there fails before it touches the session, and the session
  // reads as not connected.
  bool RequestShutdown() override {
    RequireGrpcProcess(session_->Site() + ", callback RequestShutdown");
    return session_->Callback(/*requestShutdown=*/true, "RequestShutdown").accepted();
  }
  void ForceShutdown() override {
    RequireGrpcProcess(session_->Site() + ", callback ForceShutdown");
    session_->Callback(/*requestShutdown=*/false, "ForceShutdown");
  }
  bool Connected() const noexcept override { return !InForkedChild() && session_->Connected(); }

 private:
  std::shared_ptr<ServerSession> session_;
};

class HostCore;

class SessionReactor final : public grpc::ServerBidiReactor<v1::ClientMessage, v1::ServerMessage> {
 public:
  SessionReactor(std::shared_ptr<HostCore> host, const grpc::CallbackServerContext& context);

  void OnReadDone(bool ok) override;
  void OnWriteDone(bool ok) override { session_->OnWriteDone(ok); }
  void OnCancel() override {
    session_->End(grpc::Status(grpc::StatusCode::CANCELLED, "the session was cancelled"));
  }
  void OnDone() override;

 private:
  std::shared_ptr<HostCore> host_;
  std::shared_ptr<ServerSession> session_;
  std::shared_ptr<ShutdownCallbackChannel> channel_;
  v1::ClientMessage in_;
};

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_SERVER_SESSION_H_
