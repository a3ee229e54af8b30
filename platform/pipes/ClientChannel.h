// What the client proxies of every contract share: the cache of one
// connection per socket path, and ChannelBase, which makes one unary call
// through it and turns a failed status into the component's exceptions.
// Each contract's binding defines its proxy on ChannelBase and names it in
// ChannelOf<Contract>, which NamedPipeServiceHost::GetSingleChannel makes.
//
// Thread-safety: the cache may be used from any thread (its mutex guards
// the map); a proxy holds only constants and may be used from several
// threads at once.
#ifndef NORV_PLATFORM_PIPES_CLIENT_CHANNEL_H_
#define NORV_PLATFORM_PIPES_CLIENT_CHANNEL_H_

#include <grpcpp/grpcpp.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/Mutex.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/Monitor.h"
#include "platform/pipes/Runtime.h"
#include "platform/pipes/WireValues.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel::internal {

// The stubs of the unary contracts, one slot each, all made with the
// connection so that a call only looks its stub up.
enum StubSlot : std::size_t { kDataServiceStub, kApplicationLauncherStub, kStubSlots };

struct AnyStub {
  virtual ~AnyStub() = default;
};

template <class Stub>
struct StubOf final : AnyStub {
  explicit StubOf(const std::shared_ptr<grpc::Channel>& channel) : stub(channel) {}
  Stub stub;
};

// Makes the stub of each slot; defined with the bindings.
using StubMaker = std::unique_ptr<AnyStub> (*)(const std::shared_ptr<grpc::Channel>&);
extern const std::array<StubMaker, kStubSlots> kStubMakers;

// Which socket file a connection was made to. A host that restarts binds a
// new socket file, so a different identity at the path means the cached
// connection leads to a listener that is gone, even while gRPC, which has
// not yet read the old peer's close, still reports it ready.
struct SocketIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  // The inode number alone may be reused by the file system at once.
  timespec changed{};

  bool operator==(const SocketIdentity& other) const {
    return device == other.device && inode == other.inode &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

// The identity of the file at `path`, or the empty identity when there is none.
SocketIdentity IdentityOf(const std::string& path);

struct Connection {
  Connection(std::shared_ptr<grpc::Channel> c, SocketIdentity s)
      : channel(std::move(c)), socket(s) {
    for (std::size_t slot = 0; slot < kStubSlots; ++slot) stubs[slot] = kStubMakers[slot](channel);
  }

  template <class Stub>
  Stub& StubAt(StubSlot slot) {
    return static_cast<StubOf<Stub>&>(*stubs[slot]).stub;
  }

  std::shared_ptr<grpc::Channel> channel;
  SocketIdentity socket;
  std::array<std::unique_ptr<AnyStub>, kStubSlots> stubs;
};

class ConnectionCache {
 public:
  // A ready connection to the socket at `path`, cached or new. Raises the
  // component's exceptions when none can be made.
  std::shared_ptr<Connection> Get(const std::string& dir, const std::string& path,
                                  const std::string& where);

  // Forgets `connection` if it is still the cached one for `path`.
  void Drop(const std::string& path, const std::shared_ptr<Connection>& connection);

 private:
  Base::Mutex mu_;
  std::unordered_map<std::string, std::shared_ptr<Connection>> connections_ ABSL_GUARDED_BY(mu_);
};

// Never destroyed: process exit must not tear down channels while gRPC's own
// threads may still be running, and a call made at exit (an atexit handler,
// a static destructor) still finds it.
ConnectionCache& Cache();

// The stub member that prepares an asynchronous unary call, e.g.
// DataService::Stub::PrepareAsyncLogOn.
template <class Stub, class Request, class Reply>
using PrepareUnary = std::unique_ptr<grpc::ClientAsyncResponseReader<Reply>> (Stub::*)(
    grpc::ClientContext*, const Request&, grpc::CompletionQueue*);

class ChannelBase {
 protected:
  ChannelBase(std::int32_t pid, std::string name) : pid_(pid), name_(std::move(name)) {}

  std::string Where(const char* operation) const {
    return Site(pid_, name_) + ", operation " + operation;
  }

  // Makes one unary call, started with the stub's PrepareAsync member
  // `prepare`: the asynchronous form lets the calling thread wait in slices,
  // so that a host can cancel it (see CancellationDeferred).
  template <class Stub, class Request, class Reply>
  void Invoke(StubSlot slot, PrepareUnary<Stub, Request, Reply> prepare, const char* operation,
              const Request& request, Reply* reply) const {
    CancellationDeferred deferred;
    // Before anything is looked up: in a forked child the cached connections
    // are the parent's, and even dropping one would write on its socket.
    const std::string where = Where(operation);
    RequireGrpcProcess(where);
    // Looked at once per call: with no monitor attached it costs a clock read.
    const bool watched = MonitorAttached();
    const auto started =
        watched ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    std::string dir = EndpointDirectory();
    std::string path = SocketPath(dir, pid_, name_);
    std::shared_ptr<Connection> connection;
    try {
      connection = Cache().Get(dir, path, where);
    } catch (const std::exception& e) {
      // A call that found nobody listening is a call the monitor shows too.
      if (watched) {
        ReportClientCall(pid_, name_, operation, started,
                         grpc::Status(grpc::StatusCode::UNAVAILABLE, e.what()),
                         request.ByteSizeLong(), 0);
      }
      throw;
    }
    Timeouts timeouts = CurrentTimeouts();
    Stub& stubOf = connection->StubAt<Stub>(slot);
    grpc::Status status;
    WithCallQueue([&](grpc::CompletionQueue& cq) {
      grpc::ClientContext context;
      context.set_deadline(DeadlineAfter(timeouts.call));
      std::unique_ptr<grpc::ClientAsyncResponseReader<Reply>> call =
          (stubOf.*prepare)(&context, request, &cq);
      call->StartCall();
      call->Finish(reply, &status, nullptr);
      AwaitUnaryCompletion(cq, context);
    });
    if (watched) {
      ReportClientCall(pid_, name_, operation, started, status, request.ByteSizeLong(),
                       status.ok() ? reply->ByteSizeLong() : 0);
    }
    if (status.ok()) return;
    switch (status.error_code()) {
      case grpc::StatusCode::UNKNOWN:  // the service's fault
      case grpc::StatusCode::RESOURCE_EXHAUSTED:
      case grpc::StatusCode::DEADLINE_EXCEEDED:
        break;
      default:
        Cache().Drop(path, connection);
    }
    ThrowForStatus(status, where, timeouts.call);
  }

  // Runs a decoder, turning a malformed reply into CommunicationException.
  template <class Decode>
  auto Decoded(const char* operation, Decode decode) const {
    try {
      return decode();
    } catch (const MalformedMessage& e) {
      throw CommunicationException(Where(operation) + ": the reply is malformed: " + e.what());
    }
  }

  std::int32_t pid_;
  std::string name_;
};

// Sets an optional string field unless the value is null (absent on the wire).
#define NORV_SET_STRING(message, field, value) \
  if (!(value).IsNull()) (message).set_##field((value).ToUtf8())

// The proxy class of each contract, specialized by its binding.
template <class Contract>
struct ChannelOf;

// The endpoint name of a channel made from a contract type: the contract's
// full name. Raises std::invalid_argument for another contract's type.
std::string EndpointNameOf(ContractType contractType, ContractType expected);
// `name` after checking it is a valid endpoint name.
std::string CheckedName(std::string_view name);

}  // namespace Norv::ServiceModel::internal

namespace Norv::ServiceModel {

template <class T>
std::shared_ptr<T> NamedPipeServiceHost::GetSingleChannel(std::int32_t pid, std::string_view name) {
  return std::make_shared<typename internal::ChannelOf<T>::type>(pid, internal::CheckedName(name));
}

template <class T>
std::shared_ptr<T> NamedPipeServiceHost::GetSingleChannel(std::int32_t pid,
                                                          ContractType contractType) {
  return std::make_shared<typename internal::ChannelOf<T>::type>(
      pid, internal::EndpointNameOf(contractType, TypeOf<T>()));
}

}  // namespace Norv::ServiceModel

#endif  // NORV_PLATFORM_PIPES_CLIENT_CHANNEL_H_
