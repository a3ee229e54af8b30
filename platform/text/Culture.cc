// Cultures: the user default culture read once from the environment, the
// calling thread's choice, and short dates in the culture's pattern and
// default calendar.
//
// A culture is built once (pattern compiled, calendar prototype made) and
// never destroyed, so a thread can hold a plain pointer to it. Formatting a
// Gregorian date touches no ICU and no lock; other calendars ask a per-thread
// ICU calendar for the year, month and day.
#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/region.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uloc.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Mutex.h"
#include "base/NoDestructor.h"
#include "base/ThreadCache.h"
#include "platform/text/TextInternal.h"
#include "services/Text.h"

namespace Norv::Text {

TextConfigurationError::~TextConfigurationError() = default;

namespace {

struct Culture {
  std::string name;  // as .NET spells it: "de-DE", "sr-Latn-RS", "" (invariant)
  std::u16string netPattern;
  internal::ShortDatePattern pattern;
  std::string calendarType;  // ICU's name: "gregorian", "buddhist"...
  // Gregorian months and days, with this added to the year: 0, or 543 for
  // the Thai Buddhist calendar. False: ask ICU.
  bool gregorian = true;
  std::int32_t yearOffset = 0;
  std::unique_ptr<icu::Calendar> calendar;  // prototype for per-thread clones

  // Other calendars: the months that begin from 1900 to 2100, built on the
  // first date that needs them. monthStarts[i] is the first day (days since
  // 1970-01-01) of the month monthYears[i]/monthNumbers[i]; one more entry
  // ends the last month.
  mutable std::once_flag monthsOnce;
  mutable std::vector<std::int64_t> monthStarts;
  mutable std::vector<std::int32_t> monthYears;
  mutable std::vector<std::int32_t> monthNumbers;
};

struct CultureName {
  std::string language, script, region;
};

std::string Utf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

std::string Utf8(std::u16string_view s) {
  return Utf8(icu::UnicodeString(false, s.data(), static_cast<int32_t>(s.size())));
}

const std::set<std::string>& IcuLanguages() {
  static const std::set<std::string>* languages = [] {
    auto* set = new std::set<std::string>();
    for (int32_t i = 0, n = uloc_countAvailable(); i < n; ++i) {
      char language[ULOC_LANG_CAPACITY] = {};
      UErrorCode status = U_ZERO_ERROR;
      uloc_getLanguage(uloc_getAvailable(i), language, sizeof language, &status);
      if (U_SUCCESS(status) && language[0] != '\0') set->insert(language);
    }
    return set;
  }();
  return *languages;
}

// ASCII only, whatever C locale the host application has set.
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char ToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char ToUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

template <class Test>
bool AllOf(std::string_view s, Test test) {
  for (char c : s) {
    if (!test(c)) return false;
  }
  return true;
}

// Parses language[-Script][-REGION] ("de-DE", "sr-Latn-RS", "zh-Hant-TW",
// "de", also with '_') and checks every part against ICU. Sets `why` when the
// name names no known culture.
std::optional<CultureName> ParseCultureName(std::string_view name, std::string* why) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '-' || name[i] == '_') {
      parts.emplace_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  CultureName out;
  std::size_t k = 0;
  const std::string& language = parts[k++];
  if (language.size() < 2 || language.size() > 3 || !AllOf(language, IsAlpha)) {
    *why = "it is not of the form language[-Script][-REGION]";
    return std::nullopt;
  }
  for (char c : language) out.language += static_cast<char>(ToLower(c));
  if (k < parts.size() && parts[k].size() == 4 && AllOf(parts[k], IsAlpha)) {
    const std::string& script = parts[k++];
    out.script += static_cast<char>(ToUpper(script[0]));
    for (std::size_t i = 1; i < 4; ++i) out.script += static_cast<char>(ToLower(script[i]));
  }
  if (k < parts.size()) {
    const std::string& region = parts[k++];
    bool letters = region.size() == 2 && AllOf(region, IsAlpha);
    bool digits = region.size() == 3 && AllOf(region, IsDigit);
    if (!letters && !digits) {
      *why = "it is not of the form language[-Script][-REGION]";
      return std::nullopt;
    }
    for (char c : region) out.region += static_cast<char>(ToUpper(c));
  }
  if (k != parts.size()) {
    *why = "it is not of the form language[-Script][-REGION]";
    return std::nullopt;
  }
  if (IcuLanguages().count(out.language) == 0) {
    *why = "ICU knows no language '" + out.language + "'";
    return std::nullopt;
  }
  if (!out.script.empty()) {
    UScriptCode code[1];
    UErrorCode status = U_ZERO_ERROR;
    if (uscript_getCode(out.script.c_str(), code, 1, &status) != 1 || U_FAILURE(status) ||
        code[0] == USCRIPT_INVALID_CODE) {
      *why = "ICU knows no script '" + out.script + "'";
      return std::nullopt;
    }
  }
  if (!out.region.empty()) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Region* region = icu::Region::getInstance(out.region.c_str(), status);
    if (U_FAILURE(status) || region == nullptr) {
      *why = "ICU knows no region '" + out.region + "'";
      return std::nullopt;
    }
  }
  return out;
}

std::string DisplayName(const CultureName& n) {
  std::string name = n.language;
  if (!n.script.empty()) name += "-" + n.script;
  if (!n.region.empty()) name += "-" + n.region;
  return name;
}

// Builds a culture; `customPattern` is the user's short-date pattern of the
// default culture. Sets `why` on failure.
std::unique_ptr<Culture> BuildCulture(const CultureName& n, const std::u16string* customPattern,
                                      std::string* why) {
  auto culture = std::make_unique<Culture>();
  culture->name = DisplayName(n);
  // A neutral culture ("de") formats like its most likely country ("de-DE").
  std::string icuId = n.language;
  if (!n.script.empty()) icuId += "_" + n.script;
  if (!n.region.empty()) icuId += "_" + n.region;
  std::string tableName = n.language + "-" + n.region;
  if (n.region.empty()) {
    char likely[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_addLikelySubtags(icuId.c_str(), likely, sizeof likely, &status);
    if (U_SUCCESS(status)) {
      icuId = likely;
      char country[ULOC_COUNTRY_CAPACITY] = {};
      uloc_getCountry(likely, country, sizeof country, &status);
      if (U_SUCCESS(status)) tableName = n.language + "-" + country;
    }
  }
  const icu::Locale locale((icuId + "@numbers=latn").c_str());

  UErrorCode status = U_ZERO_ERROR;
  culture->calendar.reset(
      icu::Calendar::createInstance(icu::TimeZone::getGMT()->clone(), locale, status));
  if (U_FAILURE(status) || !culture->calendar) {
    *why = std::string("ICU cannot make its calendar: ") + u_errorName(status);
    return nullptr;
  }
  culture->calendarType = culture->calendar->getType();
  culture->gregorian = culture->calendarType == "gregorian" || culture->calendarType == "buddhist";
  if (culture->calendarType == "buddhist") culture->yearOffset = 543;
  // .NET calendars are proleptic: no switch to the Julian calendar in 1582.
  if (auto* gregorian = dynamic_cast<icu::GregorianCalendar*>(culture->calendar.get())) {
    gregorian->setGregorianChange(-1e300, status);
    status = U_ZERO_ERROR;
  }

  if (customPattern != nullptr) {
    culture->netPattern = *customPattern;
  } else if (const char16_t* table =
                 n.script.empty() ? internal::TableShortDatePattern(tableName) : nullptr) {
    culture->netPattern = table;
  } else {
    std::unique_ptr<icu::DateFormat> format(
        icu::DateFormat::createDateInstance(icu::DateFormat::kShort, locale));
    auto* simple = dynamic_cast<icu::SimpleDateFormat*>(format.get());
    if (simple == nullptr) {
      *why = "ICU has no short-date pattern for it";
      return nullptr;
    }
    icu::UnicodeString icuPattern;
    simple->toPattern(icuPattern);
    culture->netPattern = internal::NetPatternFromIcu(
        std::u16string_view(icuPattern.getBuffer(), static_cast<std::size_t>(icuPattern.length())),
        why);
    if (culture->netPattern.empty()) {
      *why = "its " + *why;
      return nullptr;
    }
  }
  std::optional<internal::ShortDatePattern> compiled =
      internal::ShortDatePattern::Compile(culture->netPattern, why);
  if (!compiled) return nullptr;
  culture->pattern = std::move(*compiled);
  return culture;
}

std::unique_ptr<Culture> BuildInvariantCulture() {
  auto culture = std::make_unique<Culture>();
  culture->netPattern = u"MM/dd/yyyy";
  std::string ignored;
  culture->pattern = *internal::ShortDatePattern::Compile(culture->netPattern, &ignored);
  culture->calendarType = "gregorian";
  return culture;
}

// Cultures chosen by name, shared by every thread that chose the same one;
// never destroyed, so that a thread may use its culture until exit.
struct NamedCultures {
  Base::Mutex mu;
  std::map<std::string, std::unique_ptr<Culture>, std::less<>> byName ABSL_GUARDED_BY(mu);
};

const Culture& NamedCulture(std::string_view name) {
  static Base::NoDestructor<NamedCultures> cultures;
  std::string why;
  std::optional<CultureName> parsed;
  std::string key;
  // Parsing asks ICU about regions and scripts, whose lazily built tables
  // are ICU's own business; holding the lock keeps those first lookups in
  // one thread, which also keeps ThreadSanitizer quiet about the
  // uninstrumented library.
  Base::MutexLock lock(&cultures->mu);
  if (!name.empty()) {
    parsed = ParseCultureName(name, &why);
    if (!parsed) {
      throw TextConfigurationError("SetCurrentCulture was given the unknown culture name '" +
                                   std::string(name) + "': " + why);
    }
    key = DisplayName(*parsed);
  }
  auto it = cultures->byName.find(key);
  if (it != cultures->byName.end()) return *it->second;
  std::unique_ptr<Culture> culture =
      parsed ? BuildCulture(*parsed, nullptr, &why) : BuildInvariantCulture();
  if (!culture) {
    throw TextConfigurationError("SetCurrentCulture cannot use the culture '" + std::string(name) +
                                 "': " + why);
  }
  return *cultures->byName.emplace(key, std::move(culture)).first->second;
}

struct DefaultCultureState {
  const Culture* culture = nullptr;
  std::string error;  // non-empty: every use raises this
};

void ConfigureDefault(DefaultCultureState& state) {
  std::string origin = "the default en-US (no LC_ALL, LC_TIME or LANG)";
  std::string name = "en-US";
  if (auto set = internal::FirstSetVariable({"LC_ALL", "LC_TIME", "LANG"})) {
    origin = set->first + "='" + set->second + "'";
    name = internal::CultureNameForLocale(set->second);
  }
  std::string why;
  std::optional<CultureName> parsed = ParseCultureName(name, &why);
  if (!parsed) {
    state.error = "the user default culture '" + name + "' from " + origin + " is unknown: " + why;
    return;
  }
  std::optional<std::u16string> custom;
  std::string customValue;
  if (auto set = internal::FirstSetVariable({"NORV_SHORT_DATE_PATTERN"})) {
    customValue = set->second;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(customValue);
    custom = std::u16string(text.getBuffer(), static_cast<std::size_t>(text.length()));
  }
  std::unique_ptr<Culture> culture = BuildCulture(*parsed, custom ? &*custom : nullptr, &why);
  if (!culture) {
    if (custom) {
      state.error = "NORV_SHORT_DATE_PATTERN='" + customValue +
                    "' is not a usable short-date pattern: " + why;
    } else {
      state.error =
          "the user default culture '" + name + "' from " + origin + " cannot be used: " + why;
    }
    return;
  }
  state.culture = culture.release();  // lives until the process ends
}

// Set once the default culture is known to be usable: the hot path then
// costs one load instead of a call_once.
std::atomic<const Culture*> gDefaultCulture{nullptr};

const Culture& DefaultCultureSlow() {
  static std::once_flag once;
  static DefaultCultureState* state = nullptr;
  std::call_once(once, [] {
    auto* fresh = new DefaultCultureState();
    ConfigureDefault(*fresh);
    state = fresh;
    gDefaultCulture.store(fresh->culture, std::memory_order_release);
  });
  if (!state->error.empty()) throw TextConfigurationError(state->error);
  return *state->culture;
}

inline const Culture& DefaultCulture() {
  const Culture* culture = gDefaultCulture.load(std::memory_order_acquire);
  return culture != nullptr ? *culture : DefaultCultureSlow();
}

thread_local const Culture* tCulture = nullptr;

const Culture& CurrentCulture() { return tCulture != nullptr ? *tCulture : DefaultCulture(); }

// Days from 1970-01-01 to a proleptic Gregorian date; out-of-range months and
// days carry over, as a lenient calendar would.
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
  std::int64_t m0 = m - 1;
  y += m0 >= 0 ? m0 / 12 : (m0 - 11) / 12;
  m0 -= (m0 >= 0 ? m0 / 12 : (m0 - 11) / 12) * 12;
  m = m0 + 1;
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + (d - 1);
}

// The calendar fields of day `days` from ICU: year, month (1-based), day.
bool IcuFields(icu::Calendar& calendar, std::int64_t days, std::int32_t* fields) {
  UErrorCode status = U_ZERO_ERROR;
  calendar.setTime(static_cast<double>(days) * 86400000.0 + 43200000.0, status);
  fields[0] = calendar.get(UCAL_YEAR, status);
  fields[1] = calendar.get(UCAL_MONTH, status) + 1;
  fields[2] = calendar.get(UCAL_DATE, status);
  return U_SUCCESS(status);
}

// Walks the months of 1900 to 2100 once, so that a date in that range is a
// binary search instead of an ICU call (ICU's Um al-Qura calendar takes
// microseconds per date). Months are 29 or 30 days in the lunar calendars
// and 29 to 31 in the Persian one: probe day 29, 30 and 31 of each.
void BuildMonthTable(const Culture& culture) {
  std::unique_ptr<icu::Calendar> calendar(culture.calendar->clone());
  if (!calendar) return;
  const std::int64_t first = DaysFromCivil(1900, 1, 1);
  const std::int64_t last = DaysFromCivil(2101, 1, 1);
  std::int32_t fields[3];
  if (!IcuFields(*calendar, first, fields)) return;
  std::int64_t start = first - (fields[2] - 1);
  std::vector<std::int64_t> starts;
  std::vector<std::int32_t> years, months;
  while (start < last) {
    starts.push_back(start);
    years.push_back(fields[0]);
    months.push_back(fields[1]);
    std::int64_t next = 0;
    for (std::int64_t length = 28; length <= 32 && next == 0; ++length) {
      if (!IcuFields(*calendar, start + length, fields)) return;
      if (fields[2] == 1) next = start + length;
    }
    if (next == 0) return;  // not a calendar of months: leave it to ICU
    start = next;
  }
  starts.push_back(start);
  culture.monthStarts = std::move(starts);
  culture.monthYears = std::move(years);
  culture.monthNumbers = std::move(months);
}

// Each thread's clones of the cultures' ICU calendars, which are not
// thread-safe.
struct ThreadCalendars {
  std::map<const Culture*, std::unique_ptr<icu::Calendar>> of;
};

// The year, month and day of `date` in the culture's own calendar.
void CalendarFields(const Culture& culture, const DateTime& date, std::int32_t* year,
                    std::int32_t* month, std::int32_t* day) {
  std::call_once(culture.monthsOnce, BuildMonthTable, std::cref(culture));
  const std::int64_t days = DaysFromCivil(date.year, date.month, date.day);
  const std::vector<std::int64_t>& starts = culture.monthStarts;
  if (starts.size() >= 2 && starts.front() <= days && days < starts.back()) {
    const auto i = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), days) -
                                            starts.begin() - 1);
    *year = culture.monthYears[i];
    *month = culture.monthNumbers[i];
    *day = static_cast<std::int32_t>(days - starts[i] + 1);
    return;
  }
  // Outside the table: this thread's own ICU calendar (not thread-safe).
  std::int32_t fields[3];
  const bool found = Base::ThreadCache<ThreadCalendars>::Use([&](ThreadCalendars& calendars) {
    std::unique_ptr<icu::Calendar>& calendar = calendars.of[&culture];
    if (!calendar) calendar.reset(culture.calendar->clone());
    if (!calendar) throw std::bad_alloc();
    return IcuFields(*calendar, days, fields);
  });
  if (!found) {
    // Only a date far outside any calendar's range gets here: show the
    // Gregorian fields rather than fail.
    fields[0] = date.year;
    fields[1] = date.month;
    fields[2] = date.day;
  }
  *year = fields[0];
  *month = fields[1];
  *day = fields[2];
}

}  // namespace

void SetCurrentCulture(std::string_view name) { tCulture = &NamedCulture(name); }

void ResetCurrentCulture() noexcept { tCulture = nullptr; }

std::string CurrentCultureName() { return CurrentCulture().name; }

std::string CurrentShortDatePattern() { return Utf8(CurrentCulture().netPattern); }

std::string CurrentCalendarName() { return CurrentCulture().calendarType; }

void FormatShortDate(const DateTime& date, std::u16string* out) {
  const Culture& culture = CurrentCulture();
  // 64 bits: a Buddhist year is the Gregorian one plus 543, whatever the
  // caller's year.
  std::int64_t year = static_cast<std::int64_t>(date.year) + culture.yearOffset;
  std::int32_t month = date.month;
  std::int32_t day = date.day;
  if (!culture.gregorian) {
    std::int32_t calendarYear = 0;
    CalendarFields(culture, date, &calendarYear, &month, &day);
    year = calendarYear;
  }
  out->resize(culture.pattern.MaxLength());
  out->resize(culture.pattern.Format(year, month, day, out->data()));
}

std::u16string FormatShortDate(const DateTime& date) {
  std::u16string out;
  FormatShortDate(date, &out);
  return out;
}

}  // namespace Norv::Text
