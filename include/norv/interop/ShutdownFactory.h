// ShutdownFactory: runs the shutdown coordination service to which client
// applications subscribe, and asks or forces them to shut down.
//
// Thread-safety: the four members take no lock. Call them from one thread at
// a time (never StopShutdownService while a request or force is running).
// Subscriptions arriving from clients meanwhile are handled safely.
#ifndef NORV_INTEROP_SHUTDOWN_FACTORY_H_
#define NORV_INTEROP_SHUTDOWN_FACTORY_H_

#include "norv/interop/Export.h"

namespace Norv::ServiceModel::Interop {

class NORV_INTEROP_API ShutdownFactory {
 public:
  ShutdownFactory& operator=(const ShutdownFactory& other);

  // Starts the service on the endpoint "Shutdown" of process `pid`, unless a
  // service host exists already. A failure to open the endpoint is not
  // reported; the service then has no subscribers until it is restarted.
  static void StartShutdownService(int pid);
  // Closes the service, if any, and forgets every subscriber. Never fails on
  // account of the service host.
  static void StopShutdownService();
  // Asks every connected subscriber; false when at least one refused.
  static bool RequestStopShutdownService();
  // Tells every connected subscriber to shut down.
  static void ForceStopShutdownService();
};

}  // namespace Norv::ServiceModel::Interop

#endif  // NORV_INTEROP_SHUTDOWN_FACTORY_H_
