#include "services/ServiceErrors.h"

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

}  // namespace Norv::ServiceModel
