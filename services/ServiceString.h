// ServiceString: the string of the service side, a sequence of UTF-16 code
// units or null. Null and empty are distinct values.
//
// A value type: copy it freely; distinct objects may be used from distinct
// threads.
#ifndef NORV_SERVICES_SERVICE_STRING_H_
#define NORV_SERVICES_SERVICE_STRING_H_

#include <string>
#include <string_view>
#include <utility>

#include "PlatformExport.h"

namespace Norv {

class NORV_PLATFORM_API ServiceString {
 public:
  // The null string.
  ServiceString() noexcept = default;
  ServiceString(std::u16string units) noexcept : units_(std::move(units)), null_(false) {}
  ServiceString(std::u16string_view units) : units_(units), null_(false) {}
  ServiceString(const char16_t* units) : units_(units), null_(false) {}

  static ServiceString Null() noexcept { return ServiceString(); }
  // Decodes UTF-8 (invalid sequences become U+FFFD); for servers, tools and
  // tests, never for the bridges' argument conversion.
  static ServiceString FromUtf8(std::string_view utf8);

  bool IsNull() const noexcept { return null_; }
  // The code units; empty for the null string.
  const std::u16string& Units() const noexcept { return units_; }
  std::u16string&& TakeUnits() && noexcept { return std::move(units_); }
  // UTF-8 of the code units (lone surrogates become U+FFFD); "" for null.
  std::string ToUtf8() const;

  friend bool operator==(const ServiceString& a, const ServiceString& b) noexcept {
    return a.null_ == b.null_ && a.units_ == b.units_;
  }
  friend bool operator!=(const ServiceString& a, const ServiceString& b) noexcept {
    return !(a == b);
  }

 private:
  std::u16string units_;
  bool null_ = true;
};

}  // namespace Norv

#endif  // NORV_SERVICES_SERVICE_STRING_H_
