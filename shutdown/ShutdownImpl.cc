#include "shutdown/ShutdownImpl.h"

#include <string>
#include <utility>

#include "base/SwallowFailures.h"
#include "services/Diagnostics.h"
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
  Entry entry;
  entry.channel = context->GetCallbackChannel<IShutdownCallback>();
  PeerIdentity peer = context->Peer();
  auto record = std::make_shared<ShutdownSubscriberRecord>();
  record->key = key;
  record->pid = peer.pid;
  record->uid = peer.uid;
  record->processName = std::move(peer.processName);
  record->subscribedAt = std::chrono::system_clock::now();
  entry.record = std::move(record);

  // The replaced map (and a channel it alone held) is released after the
  // lock, so that no channel is torn down while the registry is locked.
  std::shared_ptr<const ClientMap> previous;
  {
    Base::MutexLock lock(&mutex_);
    auto next = std::make_shared<ClientMap>(*SubscribedClients);
    (*next)[key] = std::move(entry);
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

std::vector<ShutdownSubscriberRecord> ShutdownImpl::Records() const {
  const std::shared_ptr<const ClientMap> clients = Snapshot();
  std::vector<ShutdownSubscriberRecord> records;
  if (clients == nullptr) return records;
  records.reserve(clients->size());
  {
    Base::MutexLock lock(&mutex_);
    for (const auto& [key, entry] : *clients) records.push_back(*entry.record);
  }
  // Asked with no lock held: IsConnected takes the session's own lock.
  auto record = records.begin();
  for (const auto& [key, entry] : *clients) {
    (record++)->connected = NamedPipeServiceHost::IsConnected(entry.channel);
  }
  return records;
}

void ShutdownImpl::RecordAnswer(ShutdownSubscriberRecord& record, ShutdownAnswer answer) {
  auto now = std::chrono::system_clock::now();
  Base::MutexLock lock(&mutex_);
  record.lastAnswer = answer;
  record.answeredAt = now;
}

template <class Call>
void ShutdownImpl::CallClient(std::int32_t key, const Entry& entry, const char* operation,
                              Call&& call) {
  ShutdownAnswer answer = ShutdownAnswer::kFailed;
  Base::SwallowFailures(
      [&] { answer = call() ? ShutdownAnswer::kAgreed : ShutdownAnswer::kRefused; },
      [&](const std::exception* failure) {
        answer = dynamic_cast<const TimeoutException*>(failure) != nullptr
                     ? ShutdownAnswer::kTimedOut
                     : ShutdownAnswer::kFailed;
        if (!DiagnosticsEnabled()) return;
        DiagnosticEvent event;
        event.kind = DiagnosticKind::kShutdownClientCallFailed;
        event.operation = operation;
        event.pid = hostPid_.load(std::memory_order_relaxed);
        event.key = key;
        event.peerPid = entry.record->pid;
        event.message = failure != nullptr ? failure->what()
                                           : "the client's call raised an "
                                             "exception of unknown type";
        ReportDiagnostic(std::move(event));
      });
  RecordAnswer(*entry.record, answer);
}

void ShutdownImpl::ForceShutdownAllClients() {
  const std::shared_ptr<const ClientMap> clients = Snapshot();
  if (clients == nullptr) return;
  // Not a structured binding: a lambda below captures the entry.
  for (const auto& item : *clients) {
    const Entry& entry = item.second;
    if (!NamedPipeServiceHost::IsConnected(entry.channel)) continue;
    // A client that fails, times out or goes away is passed over.
    CallClient(item.first, entry, "ForceShutdown", [&entry] {
      entry.channel->ForceShutdown();
      return true;
    });
  }
}

bool ShutdownImpl::RequestShutdownAllClients() {
  const std::shared_ptr<const ClientMap> clients = Snapshot();
  if (clients == nullptr) return true;
  bool result = true;
  // Not a structured binding: a lambda below captures the entry.
  for (const auto& item : *clients) {
    const Entry& entry = item.second;
    if (!NamedPipeServiceHost::IsConnected(entry.channel)) continue;
    // A client that fails, times out or goes away counts as agreeing.
    CallClient(item.first, entry, "RequestShutdown", [&entry, &result] {
      bool agreed = entry.channel->RequestShutdown();
      if (!agreed) result = false;
      return agreed;
    });
  }
  return result;
}

}  // namespace Norv::ServiceModel::Interop
