// ContractBinding: what the host needs to know of one wire contract, so
// that the host itself names no contract. Each contract's binding file
// (DataServiceBinding.cc, ApplicationLauncherBinding.cc,
// ShutdownBinding.cc) holds its operation table, its server adapter and its
// client proxy; ContractBindings.cc lists the bindings.
//
// Thread-safety: bindings are constants, readable from any thread.
#ifndef NORV_PLATFORM_PIPES_CONTRACT_BINDING_H_
#define NORV_PLATFORM_PIPES_CONTRACT_BINDING_H_

#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/service_type.h>

#include <memory>
#include <string_view>
#include <vector>

#include "platform/pipes/HostCore.h"
#include "services/ContractType.h"

namespace Norv::ServiceModel::internal {

struct ContractBinding {
  std::string_view name;
  // In the order of the C++ contract.
  std::vector<const char*> operations;
  bool (*implementedBy)(IServiceContract*);
  // The gRPC service that serves the service object of `core`, with the
  // item limit of each operation. A duplex binding also tells `core` how to
  // run session calls, and the host starts the dispatcher for it.
  std::unique_ptr<grpc::Service> (*makeService)(const std::shared_ptr<HostCore>& core,
                                                ItemLimits limits);
  bool duplex;
};

const ContractBinding& DataServiceBinding();
const ContractBinding& ApplicationLauncherBinding();
const ContractBinding& ShutdownBinding();

// Every binding, in a fixed order (the order in which a host registers them).
const std::vector<const ContractBinding*>& ContractBindings();
// The binding of contract `name`, or null.
const ContractBinding* FindContract(std::string_view name);

// A string argument of a request: null when the optional field is absent.
#define NORV_ARG(field) StringFromWire(request->has_##field(), request->field())

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_CONTRACT_BINDING_H_
