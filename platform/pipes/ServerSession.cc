#include "platform/pipes/ServerSession.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "platform/pipes/HostCore.h"
#include "platform/pipes/Monitor.h"

namespace Norv::ServiceModel::internal {

void ServerSession::StartReadIfOpen(v1::ClientMessage* into) {
  Base::MutexLock lock(&mu_);
  if (!finishCalled_ && !finishRequested_ && reactor_ != nullptr) reactor_->StartRead(into);
}

bool ServerSession::SendLocked(v1::ServerMessage&& message) {
  if (finishRequested_ || reactor_ == nullptr) return false;
  outbox_.push_back(std::move(message));
  if (!writing_) {
    writing_ = true;
    reactor_->StartWrite(&outbox_.front());
  }
  return true;
}

void ServerSession::OnWriteDone(bool ok) {
  SessionReactor* finishOn = nullptr;
  grpc::Status status;
  {
    Base::MutexLock lock(&mu_);
    if (!outbox_.empty()) outbox_.pop_front();
    if (!ok) {
      MarkEndedLocked(grpc::Status(grpc::StatusCode::UNAVAILABLE, "the client stopped reading"));
    }
    if (!finishRequested_ && !outbox_.empty()) {
      reactor_->StartWrite(&outbox_.front());
      return;
    }
    writing_ = false;
    outbox_.clear();
    finishOn = ClaimFinishLocked();
    status = finishStatus_;
  }
  if (finishOn != nullptr) finishOn->Finish(status);
}

void ServerSession::End(const grpc::Status& status) {
  SessionReactor* finishOn = nullptr;
  grpc::Status finishStatus;
  {
    Base::MutexLock lock(&mu_);
    MarkEndedLocked(status);
    finishOn = ClaimFinishLocked();
    finishStatus = finishStatus_;
  }
  if (finishOn != nullptr) finishOn->Finish(finishStatus);
}

void ServerSession::Detach() {
  Base::MutexLock lock(&mu_);
  reactor_ = nullptr;
  connected_ = false;
  finishRequested_ = true;
  outbox_.clear();
  cv_.SignalAll();
}

void ServerSession::Complete(const v1::CallbackReply& reply) {
  Base::MutexLock lock(&mu_);
  auto it = pending_.find(reply.id());
  // Its caller gave up waiting, or a peer repeated an id: the first reply
  // stands.
  if (it == pending_.end() || it->second.done) return;
  it->second.done = true;
  it->second.reply = reply;
  cv_.SignalAll();
}

void ServerSession::Watch(v1::MonitorEvent::Kind kind, std::string_view operation,
                          std::chrono::steady_clock::time_point started, std::string_view status,
                          std::string_view fault, std::string_view answer) const noexcept {
  if (!MonitorAttached()) return;
  ReportHostSessionEvent(kind, peer_, hostPid_, endpoint_, operation, started, status, fault,
                         answer);
}

void ServerSession::WatchEnd() const noexcept {
  if (!MonitorAttached()) return;
  grpc::Status status;
  {
    Base::MutexLock lock(&mu_);
    status = finishStatus_;
  }
  // The same names as the client's side of a session end, where they apply.
  std::string_view name = StatusName(status.error_code());
  std::string fault = status.error_message();  // a copy: gRPC returns it by value
  if (status.ok()) {
    name = "closed";
    fault = "the client closed it";
  } else if (fault == kHostClosingMessage) {
    name = "host-closed";
  }
  Watch(v1::MonitorEvent::SESSION_END, "Session", opened_, name, fault, "");
}

v1::CallbackReply ServerSession::Callback(bool requestShutdown, const char* name) {
  std::string where = site_ + ", callback " + name;
  const auto started = std::chrono::steady_clock::now();
  Base::MutexLock lock(&mu_);
  if (!connected_) throw CommunicationException(where + ": the client's session has ended");
  std::uint64_t id = nextCallbackId_++;
  v1::ServerMessage message;
  v1::CallbackCall* call = message.mutable_callback();
  call->set_id(id);
  if (requestShutdown) {
    call->mutable_request_shutdown();
  } else {
    call->mutable_force_shutdown();
  }
  pending_.emplace(id, Pending{});
  // When the wait is left by an exception (the calling thread's
  // cancellation among them), the entry goes with it, so that a late reply
  // finds none. Declared after `lock`, so that it runs with mu_ held.
  struct ForgetPending {
    std::unordered_map<std::uint64_t, Pending>* pending;
    std::uint64_t id;
    ~ForgetPending() {
      if (pending != nullptr) pending->erase(id);
    }
  } forget{&pending_, id};
  if (!SendLocked(std::move(message))) {
    throw CommunicationException(where + ": the client's session has ended");
  }
  const std::chrono::milliseconds timeout = CurrentTimeouts().callback;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto ready = [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) {
    auto it = pending_.find(id);
    return !connected_ || (it != pending_.end() && it->second.done);
  };
  {
    // The host may cancel a thread that waits for a stalled client: it
    // waits in slices and unwinds between them, from this frame.
    CancellationDeferred deferred;
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline || cv_.WaitFor(&mu_,
                                         std::min<std::chrono::steady_clock::duration>(
                                             kCancellationSlice, deadline - now),
                                         ready)) {
        break;
      }
      CancellationPoint();
    }
  }
  auto it = pending_.find(id);
  bool answered = it != pending_.end() && it->second.done;
  v1::CallbackReply reply;
  if (answered) reply = std::move(it->second.reply);
  if (it != pending_.end()) pending_.erase(it);
  forget.pending = nullptr;
  lock.Unlock();
  if (answered) {
    if (reply.has_fault()) {
      Watch(v1::MonitorEvent::CALLBACK, name, started, "fault", reply.fault().message(), "");
      throw FaultException(where + ": the client raised a fault: " + reply.fault().message(),
                           reply.fault().message());
    }
    Watch(v1::MonitorEvent::CALLBACK, name, started, "ok", "",
          !requestShutdown   ? "done"
          : reply.accepted() ? "accepted"
                             : "refused");
    return reply;
  }
  if (!Connected()) {
    const char* ended = "the client's session ended before it answered";
    Watch(v1::MonitorEvent::CALLBACK, name, started, "unavailable", ended, "");
    throw CommunicationException(where + ": " + ended);
  }
  const std::string late =
      "the client did not answer within " + std::to_string(timeout.count()) + " ms";
  Watch(v1::MonitorEvent::CALLBACK, name, started, "timeout", late, "");
  throw TimeoutException(where + ": " + late);
}

SessionReactor::SessionReactor(std::shared_ptr<HostCore> host,
                               const grpc::CallbackServerContext& context)
    : host_(std::move(host)),
      session_(std::make_shared<ServerSession>(host_->Site(), host_->Pid(), host_->Name(),
                                               host_->PeerOf(context.peer()))),
      channel_(std::make_shared<ShutdownCallbackChannel>(session_)) {
  session_->Attach(this);
  // Until this constructor returns, gRPC defers Finish, so OnDone cannot run
  // inside it.
  if (!host_->AddSession(session_)) {
    session_->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, std::string(kHostClosingMessage)));
    return;
  }
  session_->Watch(v1::MonitorEvent::SESSION_START, "Session", std::chrono::steady_clock::now(),
                  "ok", "", "");
  session_->StartReadIfOpen(&in_);
}

void SessionReactor::OnReadDone(bool ok) {
  if (!ok) {
    session_->End(grpc::Status::OK);
    return;  // `this` may be gone
  }
  switch (in_.kind_case()) {
    case v1::ClientMessage::kCall:
      host_->Enqueue(session_, channel_, std::move(*in_.mutable_call()));
      break;
    case v1::ClientMessage::kCallbackReply:
      session_->Complete(in_.callback_reply());
      break;
    default:
      session_->End(grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                                 "a client message carried neither a call nor a callback reply"));
      return;
  }
  in_.Clear();
  session_->StartReadIfOpen(&in_);
}

void SessionReactor::OnDone() {
  session_->WatchEnd();
  session_->Detach();
  host_->RemoveSession(session_);
  delete this;
}

}  // namespace Norv::ServiceModel::internal
