// The exceptions that the service component raises. Each message names the
// process id, the endpoint and the operation, and says what went wrong, in
// one sentence. Catch CommunicationException for any of them. They are
// exported from libnorv-platform.so, so that they can be caught by type in
// any program. Plain exception objects: no shared state.
#ifndef NORV_SERVICES_SERVICE_ERRORS_H_
#define NORV_SERVICES_SERVICE_ERRORS_H_

#include <stdexcept>
#include <string>

#include "PlatformExport.h"

namespace Norv::ServiceModel {

class NORV_PLATFORM_API CommunicationException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~CommunicationException() override;
};

// Nobody listens on the endpoint.
class NORV_PLATFORM_API EndpointNotFoundException : public CommunicationException {
 public:
  using CommunicationException::CommunicationException;
  ~EndpointNotFoundException() override;
};

// The service raised; Reason() is the service's own text.
class NORV_PLATFORM_API FaultException : public CommunicationException {
 public:
  FaultException(const std::string& message, std::string reason)
      : CommunicationException(message), reason_(std::move(reason)) {}
  ~FaultException() override;
  const std::string& Reason() const noexcept { return reason_; }

 private:
  std::string reason_;
};

// No answer within the time-out.
class NORV_PLATFORM_API TimeoutException : public CommunicationException {
 public:
  using CommunicationException::CommunicationException;
  ~TimeoutException() override;
};

// A message carried more list items than the operation allows.
class NORV_PLATFORM_API QuotaExceededException : public CommunicationException {
 public:
  using CommunicationException::CommunicationException;
  ~QuotaExceededException() override;
};

// The endpoint directory or socket cannot be used (wrong owner or mode, a
// link, a path too long), or another live host serves the endpoint.
class NORV_PLATFORM_API AddressAccessDeniedException : public CommunicationException {
 public:
  using CommunicationException::CommunicationException;
  ~AddressAccessDeniedException() override;
};

class NORV_PLATFORM_API AddressAlreadyInUseException : public CommunicationException {
 public:
  using CommunicationException::CommunicationException;
  ~AddressAlreadyInUseException() override;
};

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_SERVICE_ERRORS_H_
