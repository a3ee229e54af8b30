// The author path setting and password encryption.
//
// Both functions may be called from any thread. The author path is one
// process-wide setting: concurrent calls leave one of the paths.
#ifndef NORV_INTEROP_SETTINGS_H_
#define NORV_INTEROP_SETTINGS_H_

#include <string>

#include "norv/interop/Export.h"

namespace Norv::IO::Interop {

// Sets the process's author path; a null pointer sets the empty path.
NORV_INTEROP_API void SetAuthorPath(const char* path);

}  // namespace Norv::IO::Interop

// Directly in Norv::Interop, without an area, as the interface has it.
namespace Norv::Interop {

// The encrypted form of `password` (printable ASCII); null encrypts "".
NORV_INTEROP_API std::string EncryptPassword(char* password);

}  // namespace Norv::Interop

#endif  // NORV_INTEROP_SETTINGS_H_
