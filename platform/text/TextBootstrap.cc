// TEMPORARY: minimal text platform so the tree links while the real one
// (ICU code pages, cultures) is written. Replaced by platform/text proper.
#include <string>

#include "services/Text.h"

namespace Norv::Text {

TextConfigurationError::~TextConfigurationError() = default;

int AnsiCodePage() { return 1252; }

std::u16string DecodeAnsi(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
  return out;
}

void SetCurrentCulture(std::string_view) {}
void ResetCurrentCulture() noexcept {}
std::string CurrentCultureName() { return "en-US"; }

std::u16string FormatShortDate(const DateTime& date) {
  std::string s = std::to_string(date.month) + "/" + std::to_string(date.day) + "/" +
                  std::to_string(date.year);
  return std::u16string(s.begin(), s.end());
}

}  // namespace Norv::Text
