#include <utility>

#include "platform/pipes/HostCore.h"

namespace Norv::ServiceModel::internal {

thread_local constinit OperationContext* tCurrentContext = nullptr;

std::string FaultMessage(std::string_view raiser) {
  try {
    throw;
  } catch (const FaultException& e) {
    return e.Reason();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return std::string(raiser) + " raised an exception that is not a std::exception";
  }
}

grpc::Status FaultStatus() {
  return grpc::Status(grpc::StatusCode::UNKNOWN, FaultMessage("the service"));
}

bool HostCore::AddSession(const std::shared_ptr<ServerSession>& session) {
  Base::MutexLock lock(&sessionsMu_);
  if (closing_) return false;
  sessions_.insert(session);
  return true;
}
bool HostCore::HasSessions() {
  Base::MutexLock lock(&sessionsMu_);
  return !sessions_.empty();
}

void HostCore::RemoveSession(const std::shared_ptr<ServerSession>& session) {
  Base::MutexLock lock(&sessionsMu_);
  sessions_.erase(session);
}

// Queues a session call for the dispatcher thread.
void HostCore::Enqueue(std::shared_ptr<ServerSession> session,
                       std::shared_ptr<IServiceContract> callbackChannel, v1::OperationCall call) {
  Base::MutexLock lock(&queueMu_);
  if (stopping_) return;
  queue_.push_back(Task{std::move(session), std::move(callbackChannel), std::move(call)});
  queueCv_.Signal();
}

void HostCore::StartDispatcher() {
  dispatcher_ = std::thread([this] { DispatchLoop(); });
}

// Ends every session and refuses new ones.
void HostCore::EndSessions() {
  std::vector<std::shared_ptr<ServerSession>> sessions;
  {
    Base::MutexLock lock(&sessionsMu_);
    closing_ = true;
    sessions.assign(sessions_.begin(), sessions_.end());
  }
  for (const auto& session : sessions) {
    session->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, std::string(kHostClosingMessage)));
  }
}

void HostCore::StopDispatcher() {
  {
    Base::MutexLock lock(&queueMu_);
    stopping_ = true;
    queue_.clear();
    queueCv_.SignalAll();
  }
  if (dispatcher_.joinable()) dispatcher_.join();
}

void HostCore::DispatchLoop() {
  for (;;) {
    Task task;
    {
      Base::MutexLock lock(&queueMu_);
      queueCv_.Wait(&queueMu_, [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(queueMu_) {
        return stopping_ || !queue_.empty();
      });
      if (stopping_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    v1::ServerMessage message;
    v1::OperationReply* reply = message.mutable_reply();
    reply->set_id(task.call.id());
    grpc::Status status = RunSessionCall(task);
    if (!status.ok()) reply->mutable_fault()->set_message(status.error_message());
    task.session->Send(std::move(message));
  }
}

PeerIdentity DispatchContext::Peer() const {
  if (session_ != nullptr) return session_->Peer();
  if (core_ != nullptr && tUnaryServerContext != nullptr) {
    return core_->PeerOf(tUnaryServerContext->peer());
  }
  return {};
}

std::vector<std::shared_ptr<ServerSession>> HostCore::Sessions() {
  Base::MutexLock lock(&sessionsMu_);
  return {sessions_.begin(), sessions_.end()};
}

grpc::Status HostCore::RunSessionCall(const Task& task) {
  try {
    Base::MutexLock lock(&dispatchMu_);
    DispatchContext context(task.callbackChannel, task.session->Site(), this, task.session.get());
    ScopedOperationContext scope(&context);
    sessionCall_(instance_.get(), task.call);
    return grpc::Status::OK;
  } catch (...) {
    return FaultStatus();
  }
}

}  // namespace Norv::ServiceModel::internal
