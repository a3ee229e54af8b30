// norvctl convert string / convert date: the conversion rules on one value.
//   convert string TEXT   shows the process's ANSI code page, the UTF-16 code
//                         units ToServiceString makes of TEXT's bytes and the
//                         bytes NativeString gives back (one per code unit,
//                         its low byte).
//   convert date YYYY-MM-DD [--culture NAME] [--verbose]
//                         prints the short date FormatShortDate makes, in
//                         the user default culture or the one named.
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "conversion/Conversion.h"
#include "services/Text.h"
#include "tools/norvctl/Commands.h"

namespace Norv::Ctl {
namespace {

std::string HexBytes(const std::string& bytes) {
  std::string out;
  char hex[4];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X ", b);
    out += hex;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

void ConvertString(const std::string& text) {
  const int codePage = Text::AnsiCodePage();
  const ServiceString service = Interop::ToServiceString(text.c_str());
  const std::string back = Interop::NativeString(service);
  std::printf("code page:  %d%s\n", codePage, codePage == 65001 ? " (UTF-8)" : "");
  std::printf("bytes in:   %s (%zu)\n", HexBytes(text).c_str(), text.size());
  std::string units;
  char unit[8];
  for (char16_t u : service.Units()) {
    std::snprintf(unit, sizeof unit, "U+%04X ", static_cast<unsigned>(u));
    units += unit;
  }
  if (!units.empty()) units.pop_back();
  std::printf("UTF-16:     %s (%zu code units)\n", units.c_str(), service.Units().size());
  std::printf("bytes back: %s (%zu)%s\n", HexBytes(back).c_str(), back.size(),
              back == text ? ", the same" : ", different: each code unit kept its low byte");
}

DateTime ParseDate(const std::string& text) {
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%5d-%2u-%2u%c", &year, &month, &day, &tail) != 3 ||
      !std::chrono::year_month_day(std::chrono::year{year}, std::chrono::month{month},
                                   std::chrono::day{day})
           .ok() ||
      year < 1 || year > 9999) {
    throw std::invalid_argument("'" + text + "' is not a date YYYY-MM-DD between 0001 and 9999");
  }
  return DateTime{year, static_cast<int>(month), static_cast<int>(day)};
}

void ConvertDate(const std::string& text, const std::string& culture, bool verbose) {
  const DateTime date = ParseDate(text);
  if (!culture.empty()) Text::SetCurrentCulture(culture);
  const std::string shortDate = Interop::FormatShortDate(date).ToUtf8();
  if (verbose) {
    std::printf("culture:  %s\npattern:  %s\ncalendar: %s\n", Text::CurrentCultureName().c_str(),
                Text::CurrentShortDatePattern().c_str(), Text::CurrentCalendarName().c_str());
  }
  std::printf("%s\n", shortDate.c_str());
}

}  // namespace

void AddTextCommands(CLI::App& app) {
  CLI::App& convert = GetOrAddSubcommand(app, "convert", "Apply the conversion rules to one value");

  auto text = std::make_shared<std::string>();
  CLI::App* string = convert.add_subcommand(
      "string", "Decode TEXT in the ANSI code page (NORV_ANSI_CODEPAGE or the locale) and back");
  string->add_option("TEXT", *text, "The bytes to convert")->required();
  string->callback([text] { Guarded([&] { ConvertString(*text); }); });

  auto day = std::make_shared<std::string>();
  auto culture = std::make_shared<std::string>();
  auto verbose = std::make_shared<bool>(false);
  CLI::App* date = convert.add_subcommand(
      "date",
      "Print a date as the short date of a culture (default: the user default culture "
      "from LC_ALL/LC_TIME/LANG and NORV_SHORT_DATE_PATTERN)");
  date->add_option("DATE", *day, "The date, YYYY-MM-DD")->required();
  date->add_option("--culture", *culture, "A culture name such as de-DE or th-TH");
  date->add_flag("--verbose,-v", *verbose, "Also show the culture, its pattern and calendar");
  date->callback(
      [day, culture, verbose] { Guarded([&] { ConvertDate(*day, *culture, *verbose); }); });
}

}  // namespace Norv::Ctl
