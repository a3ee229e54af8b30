// The text platform: the process's ANSI code page and the culture of the
// calling thread, as the conversion rules need them.
//
// The code page is fixed once per process from NORV_ANSI_CODEPAGE or the
// locale environment. The culture is per thread: a thread that chose none
// uses the user's default culture (with NORV_SHORT_DATE_PATTERN, if set).
// All functions are safe to call from any thread.
#ifndef NORV_SERVICES_TEXT_H_
#define NORV_SERVICES_TEXT_H_

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "DateTime.h"
#include "PlatformExport.h"

namespace Norv::Text {

// An unknown code page or culture name in the environment or given to
// SetCurrentCulture. The message names the value and where it came from.
class NORV_PLATFORM_API TextConfigurationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~TextConfigurationError() override;
};

// The process's ANSI code page (a Windows code page number; 65001 is UTF-8).
NORV_PLATFORM_API int AnsiCodePage();

// Decodes bytes in the process's ANSI code page into UTF-16; an invalid
// sequence becomes U+FFFD. Raises only TextConfigurationError.
NORV_PLATFORM_API std::u16string DecodeAnsi(std::string_view bytes);

// Encodes UTF-16 into the process's ANSI code page: the inverse of
// DecodeAnsi, so that a caller's bytes come back for every character the
// page maps (all 256 bytes under 1252; any valid UTF-8 under 65001). Empty
// when a character has no encoding in the page (a U+FFFD among them, except
// under 65001, where it encodes as itself and so cannot be told from the
// stand-in for an undecodable byte: a caller that must tell them apart
// refuses U+FFFD itself). For turning a caller's text back into a local file
// name. Raises only TextConfigurationError.
NORV_PLATFORM_API std::optional<std::string> EncodeAnsi(std::u16string_view units);

// Chooses the calling thread's culture by name ("de-DE"); raises
// TextConfigurationError for a name that names no known culture.
NORV_PLATFORM_API void SetCurrentCulture(std::string_view name);
// Returns the calling thread to the user's default culture.
NORV_PLATFORM_API void ResetCurrentCulture() noexcept;
// The name of the calling thread's culture ("en-US").
NORV_PLATFORM_API std::string CurrentCultureName();
// Its short-date pattern in .NET syntax (UTF-8), e.g. "M/d/yyyy".
NORV_PLATFORM_API std::string CurrentShortDatePattern();
// Its calendar as ICU names it: "gregorian", "buddhist", "islamic-umalqura"...
NORV_PLATFORM_API std::string CurrentCalendarName();

// `date` in the short-date pattern of the calling thread's culture, in its
// default calendar, with ASCII digits; the time of day is not shown.
NORV_PLATFORM_API std::u16string FormatShortDate(const DateTime& date);
// The same into `*out`, whose capacity is reused: for lists of dates.
NORV_PLATFORM_API void FormatShortDate(const DateTime& date, std::u16string* out);

}  // namespace Norv::Text

#endif  // NORV_SERVICES_TEXT_H_
