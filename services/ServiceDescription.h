// The description of a service host: its endpoints, each with its contract,
// the contract's operations and each operation's behaviours. Hosts fill it
// when endpoints are added; callers may change behaviours until Open, which
// reads them.
//
// Thread-safety: walk and change a description from one thread, before the
// host is opened.
#ifndef NORV_SERVICES_SERVICE_DESCRIPTION_H_
#define NORV_SERVICES_SERVICE_DESCRIPTION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PlatformExport.h"

namespace Norv::ServiceModel {

class NORV_PLATFORM_API IOperationBehavior {
 public:
  virtual ~IOperationBehavior();
};

// The message layer enforces MaxItemsInObjectGraph as the most list items one
// message of the operation may carry.
class NORV_PLATFORM_API DataContractSerializerOperationBehavior : public IOperationBehavior {
 public:
  static constexpr std::int32_t kDefaultMaxItemsInObjectGraph = 65536;

  std::int32_t MaxItemsInObjectGraph() const noexcept { return maxItemsInObjectGraph_; }
  void SetMaxItemsInObjectGraph(std::int32_t value) noexcept { maxItemsInObjectGraph_ = value; }

 private:
  std::int32_t maxItemsInObjectGraph_ = kDefaultMaxItemsInObjectGraph;
};

class NORV_PLATFORM_API OperationDescription {
 public:
  explicit OperationDescription(std::string name);
  const std::string& Name() const noexcept { return name_; }
  std::vector<std::shared_ptr<IOperationBehavior>>& Behaviors() noexcept { return behaviors_; }
  const std::vector<std::shared_ptr<IOperationBehavior>>& Behaviors() const noexcept {
    return behaviors_;
  }

 private:
  std::string name_;
  std::vector<std::shared_ptr<IOperationBehavior>> behaviors_;
};

class NORV_PLATFORM_API ContractDescription {
 public:
  explicit ContractDescription(std::string name);
  // The contract's full dotted name.
  const std::string& Name() const noexcept { return name_; }
  std::vector<OperationDescription>& Operations() noexcept { return operations_; }
  const std::vector<OperationDescription>& Operations() const noexcept { return operations_; }

 private:
  std::string name_;
  std::vector<OperationDescription> operations_;
};

class NORV_PLATFORM_API ServiceEndpoint {
 public:
  ServiceEndpoint(std::string address, ContractDescription contract);
  // The socket path the endpoint listens on.
  const std::string& Address() const noexcept { return address_; }
  ContractDescription& Contract() noexcept { return contract_; }
  const ContractDescription& Contract() const noexcept { return contract_; }

 private:
  std::string address_;
  ContractDescription contract_;
};

class NORV_PLATFORM_API ServiceDescription {
 public:
  // Endpoints keep their addresses while more are added.
  std::vector<std::unique_ptr<ServiceEndpoint>>& Endpoints() noexcept { return endpoints_; }
  const std::vector<std::unique_ptr<ServiceEndpoint>>& Endpoints() const noexcept {
    return endpoints_;
  }

 private:
  std::vector<std::unique_ptr<ServiceEndpoint>> endpoints_;
};

// Sets MaxItemsInObjectGraph on every DataContractSerializerOperationBehavior
// of every operation of every endpoint in `description`, and gives an
// operation that has none such a behaviour with that limit. Other behaviours
// stay as they are. Call before Open; a negative limit makes Open raise.
NORV_PLATFORM_API void SetMaxItemsInObjectGraph(ServiceDescription& description,
                                                std::int32_t maxItems);

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_SERVICE_DESCRIPTION_H_
