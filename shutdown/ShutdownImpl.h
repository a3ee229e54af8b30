// ShutdownImpl: the service object of the shutdown coordination service. It
// keeps, per client key, the callback channel through which the service
// reaches that client and a record of who subscribed and how the client last
// answered, and walks them to ask or tell every connected client to shut
// down.
//
// Thread-safety: Subscribe, Unsubscribe and Ping arrive on the service host's
// dispatch threads; the two walks run on the host application's thread and
// may overlap them, and Records may be called from any thread. Changes
// publish a new immutable registry under a mutex; a walk takes a snapshot
// under the same mutex and calls its clients with no lock held, so a client
// that subscribes or unsubscribes while it is being called stalls nobody. A
// walk sees the registry as it stood when the walk began: an entry that
// stays registered throughout is visited exactly once. A client's last
// answer is written under the mutex after its call returns.
#ifndef NORV_SHUTDOWN_SHUTDOWN_IMPL_H_
#define NORV_SHUTDOWN_SHUTDOWN_IMPL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Mutex.h"
#include "services/IShutdown.h"
#include "services/ShutdownRegistry.h"

namespace Norv::ServiceModel::Interop {

// How many service objects a host creates: one per session, one per call, or
// the single object it was given.
enum class InstanceContextMode : std::int32_t { kPerSession = 0, kPerCall = 1, kSingle = 2 };

namespace internal {
struct ShutdownImplAccess;  // defined by the tests, to read the registry
}  // namespace internal

class ShutdownImpl : public Contracts::Service::IShutdown, public IShutdownRegistryView {
 public:
  // One object serves every client and every call: the host is handed this
  // very object, so all sessions share one registry.
  static constexpr InstanceContextMode kInstanceContextMode = InstanceContextMode::kSingle;

  ShutdownImpl() = default;
  ~ShutdownImpl() override = default;
  ShutdownImpl(const ShutdownImpl&) = delete;
  ShutdownImpl& operator=(const ShutdownImpl&) = delete;

  // Records the calling client's callback channel and identity under `key`,
  // replacing what was recorded under it before (the old channel is neither
  // told nor closed). Raises, to the calling client, when its callback
  // channel cannot be obtained; no entry changes then.
  void Subscribe(std::int32_t key) override;
  // Forgets the channel recorded under `key`; an unknown key is no error.
  void Unsubscribe(std::int32_t key) override;
  // Completes at once; changes nothing.
  void Ping() override;

  // Tells every connected client to shut down. A client's failure is
  // discarded (and reported to a diagnostics handler); nothing is removed.
  void ForceShutdownAllClients();
  // Asks every connected client, never stopping early; false exactly when a
  // connected client answered false. A client that fails or times out (the
  // component's callback time-out bounds each call) counts as agreeing.
  bool RequestShutdownAllClients();

  // Who is subscribed, whether each is connected now and its last answer.
  std::vector<ShutdownSubscriberRecord> Records() const override;

  // The process id of the endpoint this object is served on, named by the
  // diagnostics of its calls out to clients.
  void SetHostPid(std::int32_t pid) noexcept { hostPid_.store(pid, std::memory_order_relaxed); }

 private:
  friend struct internal::ShutdownImplAccess;

  // What a key holds: the channel, and the record, whose answer fields the
  // walks update under mutex_ (the rest never changes once published).
  struct Entry {
    std::shared_ptr<Contracts::Service::IShutdownCallback> channel;
    std::shared_ptr<ShutdownSubscriberRecord> record;
  };
  using ClientMap = std::map<std::int32_t, Entry>;

  std::shared_ptr<const ClientMap> Snapshot() const;
  // Calls out to one client, records its answer and reports a failure.
  template <class Call>
  void CallClient(std::int32_t key, const Entry& entry, const char* operation, Call&& call);
  void RecordAnswer(ShutdownSubscriberRecord& record, ShutdownAnswer answer);

  std::atomic<std::int32_t> hostPid_{0};
  mutable Base::Mutex mutex_;
  // Null until the first Subscribe, then never dropped while the object
  // lives. Each change replaces the whole map, so a snapshot held by a walk
  // never changes under it. It keeps the name the registry has in
  // docs/shutdown.md, hence no trailing underscore.
  std::shared_ptr<const ClientMap> SubscribedClients ABSL_GUARDED_BY(mutex_);
};

}  // namespace Norv::ServiceModel::Interop

#endif  // NORV_SHUTDOWN_SHUTDOWN_IMPL_H_
