// The channel to the application launcher of the current process, as the
// Halvane members obtain it: a fresh client channel of IApplicationLauncher
// to the endpoint "ApplicationLauncher" of this process, on every call.
//
// Safe from any thread; nothing is shared between calls.
#ifndef NORV_LAUNCHER_APPLICATION_LAUNCHER_H_
#define NORV_LAUNCHER_APPLICATION_LAUNCHER_H_

#include <memory>
#include <string_view>

#include "services/IApplicationLauncher.h"

namespace Norv::Halvane::Interop {

inline constexpr std::string_view kApplicationLauncherEndpoint = "ApplicationLauncher";

// Raises whatever the service component raises; catches nothing.
std::shared_ptr<ServiceModel::Contracts::Service::IApplicationLauncher> GetApplicationLauncher();

}  // namespace Norv::Halvane::Interop

#endif  // NORV_LAUNCHER_APPLICATION_LAUNCHER_H_
