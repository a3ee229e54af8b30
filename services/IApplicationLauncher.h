// IApplicationLauncher: the application launcher contract, served on the
// endpoint "ApplicationLauncher" of a process. Channels may be used from
// several threads at once; a hosted launcher is called from the host's
// threads and must be thread-safe. Through a channel every operation raises
// the exceptions of ServiceErrors.h; what a launcher raises reaches the
// caller as a FaultException.
#ifndef NORV_SERVICES_I_APPLICATION_LAUNCHER_H_
#define NORV_SERVICES_I_APPLICATION_LAUNCHER_H_

#include <string_view>

#include "ContractType.h"
#include "PlatformExport.h"
#include "ServiceString.h"

namespace Norv::ServiceModel::Contracts::Service {

class NORV_PLATFORM_API IApplicationLauncher : public virtual IServiceContract {
 public:
  static constexpr std::string_view kContractName =
      "Norv.ServiceModel.Contracts.Service.IApplicationLauncher";

  using String = ::Norv::ServiceString;

  virtual void LogOn(const String& projectPath, const String& user, const String& password,
                     const String& author) = 0;
  virtual void LaunchTrasko() = 0;
  virtual void LaunchWendal() = 0;
  virtual void LaunchOrbisk() = 0;
};

}  // namespace Norv::ServiceModel::Contracts::Service

#endif  // NORV_SERVICES_I_APPLICATION_LAUNCHER_H_
