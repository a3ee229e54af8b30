// The data-service channel of a process, as every data-service member of
// MirnDataService obtains it. Internal to the library, not exported.
//
// Thread-safety: callable from any thread; the channel may be shared.
#ifndef NORV_DATASERVICE_DATA_SERVICE_CHANNEL_H_
#define NORV_DATASERVICE_DATA_SERVICE_CHANNEL_H_

#include <memory>

#include "services/IDataService.h"

namespace Norv::MirnDataService::Interop {

// The IDataService channel of process `pid`, exactly as the component hands
// it out; raises what the component raises.
std::shared_ptr<ServiceModel::Contracts::Service::IDataService> GetDataService(int pid);

}  // namespace Norv::MirnDataService::Interop

#endif  // NORV_DATASERVICE_DATA_SERVICE_CHANNEL_H_
