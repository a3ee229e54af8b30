#include "servers/dataservice/DataServiceHost.h"

#include <string>

namespace Norv::Servers {

using ServiceModel::NamedPipeServiceHost;
using ServiceModel::Contracts::Service::IDataService;

std::unique_ptr<NamedPipeServiceHost> NewDataServiceHost(std::shared_ptr<IDataService> service,
                                                         std::int32_t pid, std::int32_t maxItems) {
  auto host = std::make_unique<NamedPipeServiceHost>(std::move(service), pid,
                                                     std::string(IDataService::kContractName));
  host->AddServiceEndpoint(ServiceModel::TypeOf<IDataService>());
  host->AddMexServiceEndpoint();
  ServiceModel::SetMaxItemsInObjectGraph(host->Description(), maxItems);
  return host;
}

}  // namespace Norv::Servers
