#include "norv/interop/Halvane.h"

#include <unistd.h>

#include <cstdint>

#include "base/SwallowFailures.h"
#include "conversion/Conversion.h"
#include "launcher/ApplicationLauncher.h"
#include "services/Diagnostics.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::Halvane::Interop {

using ServiceModel::NamedPipeServiceHost;
using ServiceModel::Contracts::Service::IApplicationLauncher;

std::shared_ptr<IApplicationLauncher> GetApplicationLauncher() {
  // The launcher belongs to the process the library runs in; no caller may
  // point it elsewhere.
  const auto pid = static_cast<std::int32_t>(::getpid());
  return NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(pid,
                                                                      kApplicationLauncherEndpoint);
}

Halvane& Halvane::operator=(const Halvane& other) { return *this; }

void Halvane::LogOn(char* projectPath, char* user, char* password, char* author) {
  // The log-on is silent by design: the host learns nothing back, not even
  // whether a launcher was reached.
  Base::SwallowFailures(
      [&] {
        std::shared_ptr<IApplicationLauncher> launcher = GetApplicationLauncher();
        // Converted one after the other, in the order of the parameters.
        const ServiceString serviceProjectPath = Norv::Interop::ToServiceString(projectPath);
        const ServiceString serviceUser = Norv::Interop::ToServiceString(user);
        const ServiceString servicePassword = Norv::Interop::ToServiceString(password);
        const ServiceString serviceAuthor = Norv::Interop::ToServiceString(author);
        launcher->LogOn(serviceProjectPath, serviceUser, servicePassword, serviceAuthor);
      },
      [](const std::exception* failure) {
        ServiceModel::ReportSwallowed(ServiceModel::DiagnosticKind::kLogOnFailed, "Halvane::LogOn",
                                      static_cast<std::int32_t>(::getpid()), failure);
      });
}

void Halvane::LaunchTrasko() { GetApplicationLauncher()->LaunchTrasko(); }

void Halvane::LaunchWendal() { GetApplicationLauncher()->LaunchWendal(); }

void Halvane::LaunchOrbisk() { GetApplicationLauncher()->LaunchOrbisk(); }

}  // namespace Norv::Halvane::Interop
