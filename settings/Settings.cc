#include "norv/interop/Settings.h"

#include "conversion/Conversion.h"
#include "services/AuthorSettings.h"
#include "services/CustomPassword.h"

namespace Norv::IO::Interop {

void SetAuthorPath(const char* path) {
  AuthorSettings& settings = AuthorSettings::Default();
  settings.SetPath(Norv::Interop::ToServiceString(path));
}

}  // namespace Norv::IO::Interop

namespace Norv::Interop {

std::string EncryptPassword(char* password) {
  return NativeString(Security::CustomPassword::EncryptPassword(ToServiceString(password)));
}

}  // namespace Norv::Interop
