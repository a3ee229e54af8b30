#include "services/ServiceDescription.h"

#include <utility>

namespace Norv::ServiceModel {

// Out of line, so that the type information lives in libnorv-platform.so.
IOperationBehavior::~IOperationBehavior() = default;

OperationDescription::OperationDescription(std::string name) : name_(std::move(name)) {}
ContractDescription::ContractDescription(std::string name) : name_(std::move(name)) {}
ServiceEndpoint::ServiceEndpoint(std::string address, ContractDescription contract)
    : address_(std::move(address)), contract_(std::move(contract)) {}

void SetMaxItemsInObjectGraph(ServiceDescription& description, std::int32_t maxItems) {
  // By index, reading each count again, so that no iterator into the
  // description is held.
  for (std::size_t e = 0; e < description.Endpoints().size(); ++e) {
    ContractDescription& contract = description.Endpoints()[e]->Contract();
    for (std::size_t o = 0; o < contract.Operations().size(); ++o) {
      OperationDescription& operation = contract.Operations()[o];
      bool found = false;
      for (std::size_t b = 0; b < operation.Behaviors().size(); ++b) {
        if (auto* serializer = dynamic_cast<DataContractSerializerOperationBehavior*>(
                operation.Behaviors()[b].get())) {
          serializer->SetMaxItemsInObjectGraph(maxItems);
          found = true;
        }
      }
      if (!found) {
        auto serializer = std::make_shared<DataContractSerializerOperationBehavior>();
        serializer->SetMaxItemsInObjectGraph(maxItems);
        operation.Behaviors().push_back(std::move(serializer));
      }
    }
  }
}

}  // namespace Norv::ServiceModel
