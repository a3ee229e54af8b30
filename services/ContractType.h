// ContractType: names a service contract at run time, the way a reflected
// type names it: by its full dotted name. Every contract class declares
//   static constexpr std::string_view kContractName = "Norv....IName";
// and TypeOf<Contract>() yields its ContractType. Plain constant values,
// usable from any thread; nothing here raises.
#ifndef NORV_SERVICES_CONTRACT_TYPE_H_
#define NORV_SERVICES_CONTRACT_TYPE_H_

#include <string_view>

#include "PlatformExport.h"

namespace Norv::ServiceModel {

struct ContractType {
  std::string_view fullName;
  friend bool operator==(const ContractType& a, const ContractType& b) noexcept {
    return a.fullName == b.fullName;
  }
  friend bool operator!=(const ContractType& a, const ContractType& b) noexcept {
    return !(a == b);
  }
};

template <class Contract>
constexpr ContractType TypeOf() noexcept {
  return ContractType{Contract::kContractName};
}

// Base of every contract interface, so that a host can hold any service
// object and find the contracts it implements.
class NORV_PLATFORM_API IServiceContract {
 public:
  virtual ~IServiceContract() = default;
};

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_CONTRACT_TYPE_H_
