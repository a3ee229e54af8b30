// ShutdownGlobals: the only long-lived state of the library, the service host
// of the shutdown coordination service and its service object. Both start
// null; only ShutdownFactory::StartShutdownService and StopShutdownService
// write them.
//
// The two fields live in storage that is never destroyed: process exit runs
// no destructor that closes a host or joins the component's threads, so an
// open host listens until the process ends.
//
// Thread-safety: each field is an atomic shared pointer. The exported members
// still must not run concurrently with one another; the atomics only make a
// misuse (a StopShutdownService overlapping a walk) harmless: a walk holds
// its own reference to the service object and its snapshot.
#ifndef NORV_SHUTDOWN_SHUTDOWN_GLOBALS_H_
#define NORV_SHUTDOWN_SHUTDOWN_GLOBALS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/NoDestructor.h"
#include "services/NamedPipeServiceHost.h"
#include "shutdown/ShutdownImpl.h"

namespace Norv::ServiceModel::Interop {

namespace internal {

// The endpoint name of the service on the process's pipes.
inline constexpr std::string_view kShutdownEndpointName = "Shutdown";
// The largest number of list items one message of an operation may carry on
// the shutdown host: the largest 32-bit signed value.
inline constexpr std::int32_t kShutdownMaxItemsInObjectGraph = 2147483647;

}  // namespace internal

class ShutdownGlobals final {
 public:
  ShutdownGlobals() = delete;

  // The service host, or null.
  static Base::NoDestructor<std::atomic<std::shared_ptr<NamedPipeServiceHost>>> host;
  // The service object, or null.
  static Base::NoDestructor<std::atomic<std::shared_ptr<ShutdownImpl>>> shutdownImpl;
};

}  // namespace Norv::ServiceModel::Interop

#endif  // NORV_SHUTDOWN_SHUTDOWN_GLOBALS_H_
