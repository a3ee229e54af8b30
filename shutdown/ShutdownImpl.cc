#include "shutdown/ShutdownImpl.h"

#include <string>
#include <utility>

#include "base/SwallowFailures.h"
#include "services/NamedPipeServiceHost.h"
#include "services/ServiceErrors.h"

namespace Norv::ServiceModel::Interop {

using Contracts::Service::IShutdownCallback;

void ShutdownImpl::Subscribe(std::int32_t key) {
  {
    Base::MutexLock lock(&mutex_);
    if (SubscribedClients == nullptr) SubscribedClients = std::make_shared<const ClientMap>();
  }
  OperationContext* context = OperationContext::Current();
  if (context == nullptr) {
    throw CommunicationException("endpoint Shutdown, operation Subscribe(" + std::to_string(key) +
                                 "): called outside a served operation, so there is no calling "
                                 "client's callback channel");
  }
  std::shared_ptr<IShutdownCallback> channel = context->GetCallbackChannel<IShutdownCallback>();

  // The replaced map (and a channel it alone held) is released after the
  // lock, so that no channel is torn down while the registry is locked.
  std::shared_ptr<const ClientMap> previous;
  {
    Base::MutexLock lock(&mutex_);
    auto next = std::make_shared<ClientMap>(*SubscribedClients);
    (*next)[key] = std::move(channel);
    previous = std::exchange(SubscribedClients, std::move(next));
  }
}

void ShutdownImpl::Unsubscribe(std::int32_t key) {
  std::shared_ptr<const ClientMap> previous;
  Base::MutexLock lock(&mutex_);
  if (SubscribedClients == nullptr || SubscribedClients->count(key) == 0) return;
  auto next = std::make_shared<ClientMap>(*SubscribedClients);
  next->erase(key);
  previous = std::exchange(SubscribedClients, std::move(next));
}

void ShutdownImpl::Ping() {}

std::shared_ptr<const ShutdownImpl::ClientMap> ShutdownImpl::Snapshot() const {
  Base::MutexLock lock(&mutex_);
  return SubscribedClients;
}

void ShutdownImpl::ForceShutdownAllClients() {
  const std::shared_ptr<const ClientMap> clients = Snapshot();
  if (clients == nullptr) return;
  for (const auto& entry : *clients) {
    const std::shared_ptr<IShutdownCallback>& channel = entry.second;
    if (!NamedPipeServiceHost::IsConnected(channel)) continue;
    // A client that fails, times out or goes away is passed over.
    Base::SwallowFailures([&channel] { channel->ForceShutdown(); });
  }
}

bool ShutdownImpl::RequestShutdownAllClients() {
  const std::shared_ptr<const ClientMap> clients = Snapshot();
  if (clients == nullptr) return true;
  bool result = true;
  for (const auto& entry : *clients) {
    const std::shared_ptr<IShutdownCallback>& channel = entry.second;
    if (!NamedPipeServiceHost::IsConnected(channel)) continue;
    // A client that fails, times out or goes away counts as agreeing.
    Base::SwallowFailures([&channel, &result] {
      if (!channel->RequestShutdown()) result = false;
    });
  }
  return result;
}

}  // namespace Norv::ServiceModel::Interop
