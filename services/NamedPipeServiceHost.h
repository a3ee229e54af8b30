// NamedPipeServiceHost: hands out client channels to the endpoints of a
// process, and hosts a service object on an endpoint of a process.
//
// An endpoint is named by (process id, endpoint name) and lives as a Unix
// domain socket in the user's private endpoint directory. Channels are cheap
// to obtain: the component keeps one connection per endpoint behind them.
//
// Every failure is one of the exceptions of ServiceErrors.h, naming the
// process id, the endpoint and the operation; misuse of a host (adding an
// endpoint after Open, a contract the service object does not implement)
// raises std::logic_error or std::invalid_argument.
//
// Thread-safety: the static members may be called from any thread; a
// channel may be used from several threads at once. One host object is
// driven from one thread at a time (construct, add endpoints, Open, Close);
// the service object it hosts is handed one contract operation at a time.
#ifndef NORV_SERVICES_NAMED_PIPE_SERVICE_HOST_H_
#define NORV_SERVICES_NAMED_PIPE_SERVICE_HOST_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ContractType.h"
#include "IApplicationLauncher.h"
#include "IDataService.h"
#include "IShutdown.h"
#include "PlatformExport.h"
#include "ServiceDescription.h"
#include "ServiceErrors.h"

namespace Norv::ServiceModel {

// Process-wide time-outs of the component.
struct Timeouts {
  // Establishing a connection to a listening endpoint.
  std::chrono::milliseconds connect{5000};
  // One call from a client to a service.
  std::chrono::milliseconds call{60000};
  // One callback from a service to a client (e.g. RequestShutdown). Stalled
  // clients are called one after the other, each costing one time-out.
  std::chrono::milliseconds callback{5000};
};

class NORV_PLATFORM_API NamedPipeServiceHost {
 public:
  // A host for `instance` on endpoint `name` of process `pid`; not open yet.
  // Raises std::invalid_argument for a null instance or an empty name.
  NamedPipeServiceHost(std::shared_ptr<IServiceContract> instance, std::int32_t pid,
                       std::string name);
  ~NamedPipeServiceHost();  // closes the host if it is open, swallowing failures
  NamedPipeServiceHost(const NamedPipeServiceHost&) = delete;
  NamedPipeServiceHost& operator=(const NamedPipeServiceHost&) = delete;

  // Adds an endpoint of `contractType`, which the service object implements.
  // Raises std::invalid_argument when it does not, or no wire contract is
  // known for the type; std::logic_error once the host is open.
  ServiceEndpoint& AddServiceEndpoint(ContractType contractType);
  // Adds a metadata endpoint: gRPC server reflection on the same socket.
  // Raises std::logic_error once the host is open.
  ServiceEndpoint& AddMexServiceEndpoint();
  ServiceDescription& Description() noexcept;

  // Starts listening. Raises AddressAlreadyInUseException when another live
  // host serves the endpoint, AddressAccessDeniedException when the endpoint
  // directory or socket path cannot be used, CommunicationException when the
  // socket cannot be created.
  void Open();
  // Stops listening, ends every session, removes the socket and joins the
  // host's threads; raises CommunicationException after doing all that if
  // something failed. Idempotent.
  void Close();

  std::int32_t Pid() const noexcept;
  const std::string& Name() const noexcept;

  // A client channel of contract T to endpoint `name` of process `pid`.
  // Obtaining it raises nothing and connects to nothing; each operation on it
  // raises EndpointNotFoundException when nobody listens, FaultException
  // when the service raised (Reason() is its text), TimeoutException,
  // QuotaExceededException, AddressAccessDeniedException, or
  // CommunicationException for a broken connection.
  template <class T>
  static std::shared_ptr<T> GetSingleChannel(std::int32_t pid, std::string_view name);
  // A client channel of contract T to the endpoint named after the contract.
  template <class T>
  static std::shared_ptr<T> GetSingleChannel(std::int32_t pid, ContractType contractType);

  // Whether the peer behind a callback channel is still reachable. Never
  // raises: a null or broken channel is not connected.
  static bool IsConnected(const std::shared_ptr<IServiceContract>& channel) noexcept;

  // The process-wide time-outs; a change applies to calls and callbacks
  // that start after it. Never raise.
  static Timeouts GetTimeouts() noexcept;
  static void SetTimeouts(const Timeouts& timeouts) noexcept;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

extern template NORV_PLATFORM_API std::shared_ptr<Contracts::Service::IDataService>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IDataService>(std::int32_t,
                                                                             std::string_view);
extern template NORV_PLATFORM_API std::shared_ptr<Contracts::Service::IDataService>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IDataService>(std::int32_t,
                                                                             ContractType);
extern template NORV_PLATFORM_API std::shared_ptr<Contracts::Service::IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IApplicationLauncher>(
        std::int32_t, std::string_view);
extern template NORV_PLATFORM_API std::shared_ptr<Contracts::Service::IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IApplicationLauncher>(std::int32_t,
                                                                                     ContractType);

// Who is at the other end of a connection, as the kernel saw it when the
// client connected (SO_PEERCRED), and the process's name then.
struct PeerIdentity {
  std::int32_t pid = 0;  // 0: unknown (not a connection the host accepted)
  std::uint32_t uid = 0;
  std::string processName;  // /proc/<pid>/comm, raw bytes; "" when unreadable
  std::chrono::system_clock::time_point connectedAt;
};

// Inside a served operation: the operation's context.
class NORV_PLATFORM_API OperationContext {
 public:
  // The context of the operation being served on this thread, or null.
  static OperationContext* Current() noexcept;

  // The client that called the operation; pid 0 when it is not known.
  virtual PeerIdentity Peer() const;

  // The calling client's callback channel; raises CommunicationException
  // when the session has none of contract T.
  template <class T>
  std::shared_ptr<T> GetCallbackChannel() {
    return std::dynamic_pointer_cast<T>(CallbackChannel(TypeOf<T>()));
  }

 protected:
  virtual ~OperationContext();
  virtual std::shared_ptr<IServiceContract> CallbackChannel(ContractType contract) = 0;
};

// A client's session with a duplex endpoint: a channel of the contract that
// also serves the client's callback object on a component thread while the
// session is open.
template <class Contract>
class DuplexChannel : public Contract {
 public:
  // Ends the session; the service sees the client as disconnected.
  virtual void Close() noexcept = 0;
  virtual bool IsOpen() const noexcept = 0;
};

template <class Contract>
class DuplexChannelFactory {
 public:
  // Opens a session to endpoint `name` of process `pid`; `callback` answers
  // the service's callbacks until the session ends. Raises
  // EndpointNotFoundException when nobody listens, AddressAccessDeniedException
  // for an endpoint directory that fails its checks; the session's
  // operations raise as a channel's do.
  static std::shared_ptr<DuplexChannel<Contract>> CreateChannel(
      std::shared_ptr<typename Contract::Callback> callback, std::int32_t pid,
      std::string_view name);
};

extern template class NORV_PLATFORM_API DuplexChannelFactory<Contracts::Service::IShutdown>;

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_NAMED_PIPE_SERVICE_HOST_H_
