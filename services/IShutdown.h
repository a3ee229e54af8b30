// IShutdown and its callback contract IShutdownCallback: the duplex contract
// of the shutdown coordination service. A client keeps one session open,
// subscribes with a key of its choice, and answers the callbacks that the
// service makes through that session.
//
// Thread-safety: a session's operations may be called from any thread and
// raise the exceptions of ServiceErrors.h. A callback object is called on a
// component thread, one callback at a time per session; what it raises goes
// back to the service as a fault.
#ifndef NORV_SERVICES_I_SHUTDOWN_H_
#define NORV_SERVICES_I_SHUTDOWN_H_

#include <cstdint>
#include <string_view>

#include "ContractType.h"
#include "PlatformExport.h"

namespace Norv::ServiceModel::Contracts::Service {

// Implemented by each client application; called by the service.
class NORV_PLATFORM_API IShutdownCallback : public virtual IServiceContract {
 public:
  static constexpr std::string_view kContractName =
      "Norv.ServiceModel.Contracts.Service.IShutdownCallback";

  // True when the client agrees to shut down.
  virtual bool RequestShutdown() = 0;
  // The client is told to shut down; nothing is read back.
  virtual void ForceShutdown() = 0;
};

class NORV_PLATFORM_API IShutdown : public virtual IServiceContract {
 public:
  static constexpr std::string_view kContractName = "Norv.ServiceModel.Contracts.Service.IShutdown";
  using Callback = IShutdownCallback;

  virtual void Subscribe(std::int32_t key) = 0;
  virtual void Unsubscribe(std::int32_t key) = 0;
  virtual void Ping() = 0;
};

}  // namespace Norv::ServiceModel::Contracts::Service

#endif  // NORV_SERVICES_I_SHUTDOWN_H_
