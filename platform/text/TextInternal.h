// Internals of the text platform, visible to its tests and to norvctl: how a
// POSIX locale name becomes a code page and a culture name, and the short-date
// pattern compiler.
//
// Everything here is a pure function or an immutable value once built, and is
// safe to use from any thread.
#ifndef NORV_PLATFORM_TEXT_TEXT_INTERNAL_H_
#define NORV_PLATFORM_TEXT_TEXT_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/SimdLevel.h"

namespace Norv::Text::internal {

// A POSIX locale name `lang[_TERRITORY][.codeset][@modifier]`, normalised:
// language lower-case with the legacy codes mapped (no->nb, iw->he, in->id),
// `@latin`/`@cyrillic` as a script, territory upper-case, codeset and other
// modifiers dropped.
struct PosixLocale {
  std::string language;
  std::string script;  // "Latn", "Cyrl" or ""
  std::string territory;
};

// Nullopt for "C", "POSIX", "C.<codeset>" and the empty string: the cases
// that mean "no particular language".
std::optional<PosixLocale> ParsePosixLocale(std::string_view value);

// The Windows ANSI code page of a locale's language, as Windows derives it
// from the system locale; 1252 for C/POSIX and for Unicode-only languages.
int CodePageForLocale(std::string_view value);

// The culture name ("de-DE") of the user default culture that a locale
// value stands for; "en-US" for C/POSIX. The name is not checked here.
std::string CultureNameForLocale(std::string_view value);

// The first of `names` that is set and not empty in the environment, as
// {name, value}; nullopt when none is.
std::optional<std::pair<std::string, std::string>> FirstSetVariable(
    std::initializer_list<const char*> names);

// The code page named by a NORV_ANSI_CODEPAGE value, or 0 when the value
// names none of the supported pages.
int ParseCodePage(std::string_view value);

// Decodes `bytes` in the single-byte `codePage` with the fastest decoder that
// the page and the processor allow up to `isa`, so that tests can hold every
// decoder against the scalar one. Nullopt when the page is not single-byte,
// or when `isa` asks for a vector decoder and none is available.
std::optional<std::u16string> DecodeSingleByteWith(int codePage, Base::SimdLevel isa,
                                                   std::string_view bytes);

// The .NET Framework short-date pattern of a culture in the built-in table
// (Windows 7 generation), or nullptr.
const char16_t* TableShortDatePattern(std::string_view cultureName);

// An ICU short-date pattern rewritten into .NET syntax: one- and two-letter
// years widened to four digits, era fields and bidi marks dropped, literal
// text quoted. Sets `error` and returns "" when the pattern has a field the
// compiler cannot format.
std::u16string NetPatternFromIcu(std::u16string_view icuPattern, std::string* error);

// A .NET short-date pattern compiled once, then applied to many dates with no
// parsing and no allocation beyond the result. Supports d, dd, M, MM, y, yy,
// yyy..., quoted text ('...' and "..."), backslash escapes, '%' and literal
// characters; '/' is copied as is.
class ShortDatePattern {
 public:
  // Sets `error` (a sentence naming the position) and returns nullopt for a
  // pattern that .NET would reject or that asks for fields other than the
  // day, month and year numbers.
  static std::optional<ShortDatePattern> Compile(std::u16string_view pattern, std::string* error);

  // Upper bound of Format's output length, in code units.
  std::size_t MaxLength() const noexcept { return maxLength_; }
  // Writes the text of the date into `out` (at least MaxLength() units) and
  // returns the number of units written. Any field values are accepted.
  std::size_t Format(std::int64_t year, std::int32_t month, std::int32_t day,
                     char16_t* out) const noexcept;

 private:
  // The values index Format's field table.
  enum class Kind : std::uint8_t { kLiteral = 0, kDay = 1, kMonth = 2, kShortYear = 3, kYear = 4 };
  struct Op {
    Kind kind;
    std::uint8_t width;    // digits (minimum); for kShortYear 1 or 2
    std::uint16_t offset;  // literal: into literals_
    std::uint16_t length;
  };

  std::vector<Op> ops_;
  std::u16string literals_;
  std::size_t maxLength_ = 0;
};

}  // namespace Norv::Text::internal

#endif  // NORV_PLATFORM_TEXT_TEXT_INTERNAL_H_
