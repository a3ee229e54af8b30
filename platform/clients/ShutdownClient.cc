#include "services/ShutdownClient.h"

#include <utility>

#include "platform/pipes/Addressing.h"
#include "platform/pipes/DuplexClient.h"

namespace Norv::ServiceModel {

ShutdownCallback::ShutdownCallback(std::function<bool()> onRequest, std::function<void()> onForce)
    : onRequest_(std::move(onRequest)), onForce_(std::move(onForce)) {}

ShutdownCallback::~ShutdownCallback() = default;

bool ShutdownCallback::RequestShutdown() { return onRequest_ ? onRequest_() : true; }

void ShutdownCallback::ForceShutdown() {
  if (onForce_) onForce_();
}

namespace {

ShutdownSessionEnd PublicKind(internal::SessionEndKind kind) {
  switch (kind) {
    case internal::SessionEndKind::kHostClosed:
      return ShutdownSessionEnd::kHostClosed;
    case internal::SessionEndKind::kHostDied:
      return ShutdownSessionEnd::kHostDied;
    case internal::SessionEndKind::kBroken:
      break;
  }
  return ShutdownSessionEnd::kBroken;
}

std::shared_ptr<internal::DuplexSession> OpenSession(
    std::shared_ptr<Contracts::Service::IShutdownCallback> callback, std::int32_t pid,
    ShutdownSessionEndHandler onEnd) {
  internal::SessionEndHandler handler;
  if (onEnd) {
    handler = [onEnd = std::move(onEnd)](internal::SessionEndKind kind,
                                         const std::string& message) {
      onEnd(PublicKind(kind), message);
    };
  }
  return internal::CreateDuplexSession(std::move(callback), pid, ShutdownClient::kEndpointName,
                                       std::move(handler));
}

}  // namespace

const char* Describe(ShutdownSessionEnd reason) noexcept {
  switch (reason) {
    case ShutdownSessionEnd::kHostClosed:
      return "host closed";
    case ShutdownSessionEnd::kHostDied:
      return "host died";
    case ShutdownSessionEnd::kBroken:
      break;
  }
  return "broken";
}

ShutdownClient::ShutdownClient(std::int32_t pid, std::int32_t key,
                               std::shared_ptr<Contracts::Service::IShutdownCallback> callback,
                               ShutdownSessionEndHandler onEnd)
    : pid_(pid), key_(key) {
  std::shared_ptr<internal::DuplexSession> session =
      OpenSession(std::move(callback), pid, std::move(onEnd));
  try {
    session->Subscribe(key);
    if (!session->ArmEndHandler()) {
      throw CommunicationException(internal::Site(pid, kEndpointName) +
                                   ", operation Subscribe: the session ended at once (" +
                                   session->EndReason() + ")");
    }
  } catch (...) {
    session->Close();
    throw;
  }
  channel_ = std::move(session);
}

ShutdownClient::~ShutdownClient() { Close(); }

void ShutdownClient::Subscribe(std::int32_t key) { channel_->Subscribe(key); }

void ShutdownClient::Unsubscribe(std::int32_t key) { channel_->Unsubscribe(key); }

void ShutdownClient::Ping() { channel_->Ping(); }

void ShutdownClient::Close() noexcept {
  if (channel_ != nullptr) channel_->Close();
}

bool ShutdownClient::IsOpen() const noexcept { return channel_ != nullptr && channel_->IsOpen(); }

}  // namespace Norv::ServiceModel
