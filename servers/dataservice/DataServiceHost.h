// Hosting a data service object (the reference service, or a test's own) on
// the data-service endpoint of a process, with the item limit raised so that
// lists of millions of records pass.
//
// Thread-safety: as NamedPipeServiceHost; build and open a host from one
// thread.
#ifndef NORV_SERVERS_DATASERVICE_DATA_SERVICE_HOST_H_
#define NORV_SERVERS_DATASERVICE_DATA_SERVICE_HOST_H_

#include <cstdint>
#include <limits>
#include <memory>

#include "services/IDataService.h"
#include "services/NamedPipeServiceHost.h"
#include "services/ServiceDescription.h"

namespace Norv::Servers {

// The item limit of data-service hosts: no practical limit, since a named
// forecast may hold millions of records.
inline constexpr std::int32_t kDataServiceMaxItems = std::numeric_limits<std::int32_t>::max();

// A host, not yet open, serving `service` as IDataService on endpoint
// "Norv.ServiceModel.Contracts.Service.IDataService" of process `pid`, with a
// metadata endpoint beside it.
std::unique_ptr<ServiceModel::NamedPipeServiceHost> NewDataServiceHost(
    std::shared_ptr<ServiceModel::Contracts::Service::IDataService> service, std::int32_t pid,
    std::int32_t maxItems = kDataServiceMaxItems);

}  // namespace Norv::Servers

#endif  // NORV_SERVERS_DATASERVICE_DATA_SERVICE_HOST_H_
