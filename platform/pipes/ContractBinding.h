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

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/NoDestructor.h"
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

// What every unary contract's server adapter shares: the hosted service
// object seen as `Contract`, and Run, which runs one operation on it under
// the host's rules (one call at a time, the operation's item limit, faults
// and exceeded limits turned into statuses).
template <class Contract, class GrpcService>
class UnaryAdapter : public GrpcService {
 public:
  UnaryAdapter(HostCore& core, ItemLimits limits)
      : service_(dynamic_cast<Contract*>(core.Instance())),
        core_(core),
        limits_(std::move(limits)) {}

 protected:
  // Runs `fn(limit)`, `limit` being the operation's item limit.
  template <class Fn>
  grpc::Status Run(std::string_view operation, Fn&& fn) {
    return core_.Unary(limits_, operation, std::forward<Fn>(fn));
  }

  // A list operation: `fetch()` calls the service; a null collection leaves
  // the reply without a value, one longer than the item limit fails the
  // call, any other goes through `toWire` into the reply's value.
  template <class Fetch, class ToWire, class Reply>
  grpc::Status RunList(std::string_view operation, Fetch&& fetch, ToWire toWire, Reply* reply) {
    return Run(operation, [&](std::int64_t limit) {
      auto list = fetch();
      if (!list) return;
      CheckItems(list->size(), limit, operation);
      toWire(*list, reply->mutable_value());
    });
  }

  Contract* const service_;

 private:
  HostCore& core_;
  const ItemLimits limits_;
};

// A binding's implementedBy and makeService for the adapter class `Adapter`
// of contract `Contract`.
template <class Contract>
bool Implements(IServiceContract* service) {
  return dynamic_cast<Contract*>(service) != nullptr;
}
template <class Adapter>
std::unique_ptr<grpc::Service> MakeAdapter(const std::shared_ptr<HostCore>& core,
                                           ItemLimits limits) {
  return std::make_unique<Adapter>(*core, std::move(limits));
}

const ContractBinding& DataServiceBinding();
const ContractBinding& ApplicationLauncherBinding();
const ContractBinding& ShutdownBinding();

// Every binding, in a fixed order (the order in which a host registers them).
const std::vector<const ContractBinding*>& ContractBindings();
// The binding of contract `name`, or null.
const ContractBinding* FindContract(std::string_view name);

// Runs `call` on a shutdown client's callback object and writes its answer,
// or the fault it raised, into `reply`: the callback side of the duplex
// contract, beside the service side in ShutdownBinding.cc.
void AnswerShutdownCallback(Contracts::Service::IShutdownCallback& callback,
                            const norv::contracts::v1::CallbackCall& call,
                            norv::contracts::v1::CallbackReply* reply);

// A string argument of a request: null when the optional field is absent.
#define NORV_ARG(field) StringFromWire(request->has_##field(), request->field())

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_CONTRACT_BINDING_H_
