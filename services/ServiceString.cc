#include "services/ServiceString.h"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

namespace Norv {

ServiceString ServiceString::FromUtf8(std::string_view utf8) {
  std::u16string units(utf8.size(), u'\0');  // UTF-16 never needs more units than UTF-8 bytes
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(units.data(), static_cast<int32_t>(units.size()), &length, utf8.data(),
                       static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return ServiceString(u"");
  units.resize(static_cast<std::size_t>(length));
  return ServiceString(std::move(units));
}

std::string ServiceString::ToUtf8() const {
  if (units_.empty()) return {};
  std::string out(units_.size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, units_.data(),
                     static_cast<int32_t>(units_.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return {};
  out.resize(static_cast<std::size_t>(length));
  return out;
}

}  // namespace Norv
