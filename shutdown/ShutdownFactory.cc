#include "norv/interop/ShutdownFactory.h"

#include <memory>
#include <string>

#include "base/SwallowFailures.h"
#include "services/Diagnostics.h"
#include "services/NamedPipeServiceHost.h"
#include "shutdown/ShutdownGlobals.h"
#include "shutdown/ShutdownImpl.h"

namespace Norv::ServiceModel::Interop {

ShutdownFactory& ShutdownFactory::operator=(const ShutdownFactory& other) { return *this; }

void ShutdownFactory::StartShutdownService(int pid) {
  std::shared_ptr<ShutdownImpl> impl = ShutdownGlobals::shutdownImpl->load();
  if (impl == nullptr) {
    impl = std::make_shared<ShutdownImpl>();
    ShutdownGlobals::shutdownImpl->store(impl);
  }
  if (ShutdownGlobals::host->load() != nullptr) return;
  impl->SetHostPid(pid);

  // Stored only once constructed: a failed construction leaves no host.
  auto host = std::make_shared<NamedPipeServiceHost>(impl, pid,
                                                     std::string(internal::kShutdownEndpointName));
  ShutdownGlobals::host->store(host);
  host->AddServiceEndpoint(TypeOf<Contracts::Service::IShutdown>());
  host->AddMexServiceEndpoint();
  SetMaxItemsInObjectGraph(host->Description(), internal::kShutdownMaxItemsInObjectGraph);
  // Not reported to the caller: the host stays unopened until
  // StopShutdownService. A diagnostics handler learns why.
  Base::SwallowFailures([&host] { host->Open(); },
                        [pid](const std::exception* failure) {
                          ReportSwallowed(DiagnosticKind::kShutdownOpenFailed,
                                          "StartShutdownService", pid, failure);
                        });
}

void ShutdownFactory::StopShutdownService() {
  // Both fields are cleared however Stop ends, a cancellation of the calling
  // thread included, so that the next Start begins afresh.
  struct ClearGlobals {
    ~ClearGlobals() {
      ShutdownGlobals::host->store(nullptr);
      ShutdownGlobals::shutdownImpl->store(nullptr);
    }
  } clear;
  if (std::shared_ptr<NamedPipeServiceHost> host = ShutdownGlobals::host->load()) {
    // Close has released the endpoint and its threads even when it raises.
    Base::SwallowFailures([&host] { host->Close(); },
                          [&host](const std::exception* failure) {
                            ReportSwallowed(DiagnosticKind::kShutdownCloseFailed,
                                            "StopShutdownService", host->Pid(), failure);
                          });
  }
}

bool ShutdownFactory::RequestStopShutdownService() {
  // The local reference keeps the object alive through the walk.
  std::shared_ptr<ShutdownImpl> impl = ShutdownGlobals::shutdownImpl->load();
  if (impl == nullptr) return true;
  return impl->RequestShutdownAllClients();
}

void ShutdownFactory::ForceStopShutdownService() {
  std::shared_ptr<ShutdownImpl> impl = ShutdownGlobals::shutdownImpl->load();
  if (impl != nullptr) impl->ForceShutdownAllClients();
}

}  // namespace Norv::ServiceModel::Interop
