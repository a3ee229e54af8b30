// The introspection service (norv/contracts/v1/introspection.proto) that
// every host serves: the endpoint's open connections with their peers'
// identities, and on an endpoint whose service object keeps a shutdown
// registry, that registry. A host of callback (duplex) contracts gets the
// callback flavour and a host of unary contracts the synchronous one, so
// that each server keeps to one kind of threads (see HealthService.h).
//
// Thread-safety: the handlers run on gRPC's threads and read the host's
// state through HostCore, whose members are safe from any thread.
#ifndef NORV_PLATFORM_PIPES_INTROSPECTION_SERVICE_H_
#define NORV_PLATFORM_PIPES_INTROSPECTION_SERVICE_H_

#include <grpcpp/grpcpp.h>

#include <memory>
#include <string>

#include "platform/pipes/HostCore.h"

namespace Norv::ServiceModel::internal {

std::unique_ptr<grpc::Service> MakeIntrospectionService(std::shared_ptr<HostCore> core,
                                                        std::string endpoint, bool callback);

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_INTROSPECTION_SERVICE_H_
