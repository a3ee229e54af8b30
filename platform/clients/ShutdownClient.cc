#include "services/ShutdownClient.h"

#include <utility>

namespace Norv::ServiceModel {

ShutdownCallback::ShutdownCallback(std::function<bool()> onRequest, std::function<void()> onForce)
    : onRequest_(std::move(onRequest)), onForce_(std::move(onForce)) {}

ShutdownCallback::~ShutdownCallback() = default;

bool ShutdownCallback::RequestShutdown() { return onRequest_ ? onRequest_() : true; }

void ShutdownCallback::ForceShutdown() {
  if (onForce_) onForce_();
}

ShutdownClient::ShutdownClient(std::int32_t pid, std::int32_t key,
                               std::shared_ptr<Contracts::Service::IShutdownCallback> callback)
    : pid_(pid),
      key_(key),
      channel_(DuplexChannelFactory<Contracts::Service::IShutdown>::CreateChannel(
          std::move(callback), pid, kEndpointName)) {
  try {
    channel_->Subscribe(key);
  } catch (...) {
    channel_->Close();
    throw;
  }
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
