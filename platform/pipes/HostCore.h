// HostCore: the state of an open host that its sessions and service adapters
// share, and the dispatcher that hands session calls to the service object.
//
// Every operation reaches the service object under dispatchMu_, so the
// object sees one contract operation at a time. Unary operations run on
// gRPC's server threads; session calls are queued by the session reactors
// and run on the one dispatcher thread, so that a reactor never blocks on
// the service object and goes on reading its stream.
//
// Thread-safety: every member may be called from any thread, except
// StartDispatcher and StopDispatcher, which the host calls once each from
// the thread that opens and closes it.
#ifndef NORV_PLATFORM_PIPES_HOST_CORE_H_
#define NORV_PLATFORM_PIPES_HOST_CORE_H_

#include <grpcpp/grpcpp.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "base/Mutex.h"
#include "norv/contracts/v1/shutdown.pb.h"
#include "platform/pipes/Acceptor.h"
#include "platform/pipes/ServerSession.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel::internal {

namespace v1 = norv::contracts::v1;

// The most list items one message of each operation may carry, read from the
// description when the host opens.
using ItemLimits = std::map<std::string, std::int64_t, std::less<>>;

class ItemLimitExceeded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline void CheckItems(std::size_t count, std::int64_t limit, std::string_view operation) {
  if (static_cast<std::int64_t>(count) > limit) {
    throw ItemLimitExceeded("the reply of operation " + std::string(operation) + " carries " +
                            std::to_string(count) + " list items, more than the " +
                            std::to_string(limit) +
                            " that the host's MaxItemsInObjectGraph allows");
  }
}

class HostCore;

// The server context of the unary call whose handler runs on this thread, or
// null; set by the host's call interceptor (Host.cc).
extern thread_local constinit const grpc::ServerContextBase* tUnaryServerContext;

class DispatchContext final : public OperationContext {
 public:
  // `session` is null for a unary call, whose peer is found through
  // tUnaryServerContext when asked for.
  DispatchContext(std::shared_ptr<IServiceContract> callback, const std::string& site,
                  const HostCore* core, const ServerSession* session)
      : callback_(std::move(callback)), site_(site), core_(core), session_(session) {}

  PeerIdentity Peer() const override;

 protected:
  std::shared_ptr<IServiceContract> CallbackChannel(ContractType contract) override {
    if (!callback_) {
      throw CommunicationException(site_ +
                                   ": the operation has no client session, so no callback "
                                   "channel of contract " +
                                   std::string(contract.fullName));
    }
    if (contract != TypeOf<IShutdownCallback>()) {
      throw CommunicationException(site_ + ": the session's callback contract is " +
                                   std::string(IShutdownCallback::kContractName) + ", not " +
                                   std::string(contract.fullName));
    }
    return callback_;
  }

 private:
  std::shared_ptr<IServiceContract> callback_;
  const std::string& site_;
  const HostCore* core_;
  const ServerSession* session_;
};

// The context of the operation being served on this thread; constinit so
// that reading it needs no TLS wrapper call.
extern thread_local constinit OperationContext* tCurrentContext;

class ScopedOperationContext {
 public:
  explicit ScopedOperationContext(OperationContext* context) : previous_(tCurrentContext) {
    tCurrentContext = context;
  }
  ~ScopedOperationContext() { tCurrentContext = previous_; }
  ScopedOperationContext(const ScopedOperationContext&) = delete;
  ScopedOperationContext& operator=(const ScopedOperationContext&) = delete;

 private:
  OperationContext* previous_;
};

// The text of the exception being handled, as a fault carries it: a
// FaultException's reason, another exception's what(), or a sentence naming
// `raiser` ("the service", "the callback") for anything else. Called inside
// a catch block.
std::string FaultMessage(std::string_view raiser);

// The status for a fault that the service object raised: UNKNOWN with the
// FaultMessage. Called inside a catch block.
grpc::Status FaultStatus();

class HostCore : public std::enable_shared_from_this<HostCore> {
 public:
  HostCore(std::shared_ptr<IServiceContract> instance, std::int32_t pid, std::string name,
           std::string site)
      : instance_(std::move(instance)), pid_(pid), name_(std::move(name)), site_(std::move(site)) {}

  const std::string& Site() const noexcept { return site_; }
  std::int32_t Pid() const noexcept { return pid_; }
  const std::string& Name() const noexcept { return name_; }
  IServiceContract* Instance() const noexcept { return instance_.get(); }

  // Runs one unary operation on the service object.
  template <class Fn>
  grpc::Status Unary(const ItemLimits& limits, std::string_view operation, Fn&& fn) {
    auto found = limits.find(operation);
    std::int64_t limit =
        found != limits.end()
            ? found->second
            : DataContractSerializerOperationBehavior::kDefaultMaxItemsInObjectGraph;
    try {
      Base::MutexLock lock(&dispatchMu_);
      DispatchContext context(nullptr, site_, this, nullptr);
      ScopedOperationContext scope(&context);
      fn(limit);
      return grpc::Status::OK;
    } catch (const ItemLimitExceeded& e) {
      return grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED, e.what());
    } catch (...) {
      return FaultStatus();
    }
  }

  // Set before the server starts; who connected is read from it.
  void SetAcceptor(std::shared_ptr<const Acceptor> acceptor) noexcept {
    acceptor_ = std::move(acceptor);
  }
  // The identity of the connection gRPC names `grpcPeer`; pid 0 if unknown.
  PeerIdentity PeerOf(std::string_view grpcPeer) const {
    return acceptor_ ? acceptor_->Find(grpcPeer) : PeerIdentity{};
  }
  // The connections open now, oldest first.
  std::vector<PeerIdentity> Connections() const {
    return acceptor_ ? acceptor_->OpenConnections() : std::vector<PeerIdentity>{};
  }
  // Whether the socket file at the host's path is no longer the one it bound.
  bool SocketPathReplaced() const noexcept { return acceptor_ && acceptor_->PathReplaced(); }
  // The sessions open now.
  std::vector<std::shared_ptr<ServerSession>> Sessions();

  bool AddSession(const std::shared_ptr<ServerSession>& session);
  void RemoveSession(const std::shared_ptr<ServerSession>& session);
  // Whether a session is still open (until its reactor is done).
  bool HasSessions();

  // Queues a session call for the dispatcher thread.
  void Enqueue(std::shared_ptr<ServerSession> session,
               std::shared_ptr<IServiceContract> callbackChannel, v1::OperationCall call);

  // How the duplex contract's binding runs one session call on the service
  // object; set before StartDispatcher.
  using SessionCall = void (*)(IServiceContract* service, const v1::OperationCall& call);
  void ServeSessionCalls(SessionCall run) noexcept { sessionCall_ = run; }

  void StartDispatcher();
  // Ends every session and refuses new ones.
  void EndSessions();
  void StopDispatcher();

 private:
  struct Task {
    std::shared_ptr<ServerSession> session;
    std::shared_ptr<IServiceContract> callbackChannel;
    v1::OperationCall call;
  };

  void DispatchLoop();
  grpc::Status RunSessionCall(const Task& task);

  std::shared_ptr<IServiceContract> instance_;
  const std::int32_t pid_;
  const std::string name_;
  const std::string site_;
  std::shared_ptr<const Acceptor> acceptor_;
  // Held while an operation runs on the service object, so that it gets one
  // operation at a time; it guards the object, not a member.
  Base::Mutex dispatchMu_;
  SessionCall sessionCall_ = nullptr;

  Base::Mutex sessionsMu_;
  bool closing_ ABSL_GUARDED_BY(sessionsMu_) = false;
  std::set<std::shared_ptr<ServerSession>> sessions_ ABSL_GUARDED_BY(sessionsMu_);

  Base::Mutex queueMu_;
  Base::CondVar queueCv_;
  bool stopping_ ABSL_GUARDED_BY(queueMu_) = false;
  std::deque<Task> queue_ ABSL_GUARDED_BY(queueMu_);
  std::thread dispatcher_;
};

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_HOST_CORE_H_
