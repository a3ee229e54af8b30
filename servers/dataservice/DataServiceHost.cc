#include "servers/dataservice/DataServiceHost.h"

#include <string>

namespace Norv::Servers {

using ServiceModel::DataContractSerializerOperationBehavior;
using ServiceModel::NamedPipeServiceHost;
using ServiceModel::Contracts::Service::IDataService;

void SetMaxItemsInObjectGraph(ServiceModel::ServiceDescription& description,
                              std::int32_t maxItems) {
  for (auto& endpoint : description.Endpoints()) {
    for (auto& operation : endpoint->Contract().Operations()) {
      bool found = false;
      for (auto& behavior : operation.Behaviors()) {
        if (auto* serializer =
                dynamic_cast<DataContractSerializerOperationBehavior*>(behavior.get())) {
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

std::unique_ptr<NamedPipeServiceHost> NewDataServiceHost(std::shared_ptr<IDataService> service,
                                                         std::int32_t pid, std::int32_t maxItems) {
  auto host = std::make_unique<NamedPipeServiceHost>(std::move(service), pid,
                                                     std::string(IDataService::kContractName));
  host->AddServiceEndpoint(ServiceModel::TypeOf<IDataService>());
  host->AddMexServiceEndpoint();
  SetMaxItemsInObjectGraph(host->Description(), maxItems);
  return host;
}

}  // namespace Norv::Servers
