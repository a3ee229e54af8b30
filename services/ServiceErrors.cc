#include "services/ServiceErrors.h"

#include "services/ServiceDescription.h"

// Out-of-line destructors anchor each class's type information in
// libnorv-platform.so, so that a catch by name works across libraries.
namespace Norv::ServiceModel {

CommunicationException::~CommunicationException() = default;
EndpointNotFoundException::~EndpointNotFoundException() = default;
FaultException::~FaultException() = default;
TimeoutException::~TimeoutException() = default;
QuotaExceededException::~QuotaExceededException() = default;
AddressAccessDeniedException::~AddressAccessDeniedException() = default;
AddressAlreadyInUseException::~AddressAlreadyInUseException() = default;

IOperationBehavior::~IOperationBehavior() = default;

OperationDescription::OperationDescription(std::string name) : name_(std::move(name)) {}
ContractDescription::ContractDescription(std::string name) : name_(std::move(name)) {}
ServiceEndpoint::ServiceEndpoint(std::string address, ContractDescription contract)
    : address_(std::move(address)), contract_(std::move(contract)) {}

}  // namespace Norv::ServiceModel
