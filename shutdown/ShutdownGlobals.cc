#include "shutdown/ShutdownGlobals.h"

namespace Norv::ServiceModel::Interop {

Base::NoDestructor<std::atomic<std::shared_ptr<NamedPipeServiceHost>>> ShutdownGlobals::host;
Base::NoDestructor<std::atomic<std::shared_ptr<ShutdownImpl>>> ShutdownGlobals::shutdownImpl;

namespace internal {

void RaiseSerializerLimits(ServiceDescription& description) {
  for (std::size_t e = 0; e < description.Endpoints().size(); ++e) {
    ContractDescription& contract = description.Endpoints()[e]->Contract();
    for (std::size_t o = 0; o < contract.Operations().size(); ++o) {
      OperationDescription& operation = contract.Operations()[o];
      for (std::size_t b = 0; b < operation.Behaviors().size(); ++b) {
        if (auto* serializer = dynamic_cast<DataContractSerializerOperationBehavior*>(
                operation.Behaviors()[b].get())) {
          serializer->SetMaxItemsInObjectGraph(kShutdownMaxItemsInObjectGraph);
        }
      }
    }
  }
}

}  // namespace internal
}  // namespace Norv::ServiceModel::Interop
