#include "shutdown/ShutdownGlobals.h"

namespace Norv::ServiceModel::Interop {

Base::NoDestructor<std::atomic<std::shared_ptr<NamedPipeServiceHost>>> ShutdownGlobals::host;
Base::NoDestructor<std::atomic<std::shared_ptr<ShutdownImpl>>> ShutdownGlobals::shutdownImpl;

}  // namespace Norv::ServiceModel::Interop
