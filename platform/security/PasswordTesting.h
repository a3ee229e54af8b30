// Test seam of password encryption. Not installed and not exported from
// libnorv-platform.so: a test that uses it links norv_platform_static.
// Thread-safety: set it while no other thread encrypts.
#ifndef NORV_PLATFORM_SECURITY_PASSWORD_TESTING_H_
#define NORV_PLATFORM_SECURITY_PASSWORD_TESTING_H_

#include <optional>

#include "services/ServiceString.h"

namespace Norv::Security::testing {

// While set, EncryptPassword answers `answer` (which may be null or hold any
// code unit) instead of encrypting, so that callers' handling of answers the
// real encryptor never gives can be tested. Reset with std::nullopt.
void SetEncryptAnswer(std::optional<ServiceString> answer);

}  // namespace Norv::Security::testing

#endif  // NORV_PLATFORM_SECURITY_PASSWORD_TESTING_H_
