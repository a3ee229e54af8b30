// Reading the user's locale from the environment, the way a library must:
// without setlocale (which belongs to the host application) and without ICU's
// default locale (which follows LC_MESSAGES and whether the host called
// setlocale). Nothing here depends on the glibc locales installed.
#include <cctype>
#include <cstdlib>
#include <string>

#include "platform/text/TextInternal.h"

namespace Norv::Text::internal {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::optional<PosixLocale> ParsePosixLocale(std::string_view value) {
  std::string_view modifier;
  if (std::size_t at = value.find('@'); at != std::string_view::npos) {
    modifier = value.substr(at + 1);
    value = value.substr(0, at);
  }
  if (std::size_t dot = value.find('.'); dot != std::string_view::npos) {
    value = value.substr(0, dot);
  }
  if (value.empty() || value == "C" || value == "POSIX") return std::nullopt;

  PosixLocale locale;
  std::size_t underscore = value.find('_');
  locale.language = Lower(value.substr(0, underscore));
  if (underscore != std::string_view::npos) locale.territory = Upper(value.substr(underscore + 1));
  if (locale.language == "no") locale.language = "nb";
  if (locale.language == "iw") locale.language = "he";
  if (locale.language == "in") locale.language = "id";
  std::string mod = Lower(modifier);
  if (mod == "latin") locale.script = "Latn";
  if (mod == "cyrillic") locale.script = "Cyrl";
  return locale;
}

int CodePageForLocale(std::string_view value) {
  std::optional<PosixLocale> locale = ParsePosixLocale(value);
  if (!locale) return 1252;
  const std::string& lang = locale->language;
  const std::string& script = locale->script;
  auto in = [&lang](std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (lang == name) return true;
    }
    return false;
  };
  // Serbian is Cyrillic unless told otherwise, Bosnian Latin; Azerbaijani and
  // Uzbek are Latin by default on Windows.
  if (in({"sr"})) return script == "Latn" ? 1250 : 1251;
  if (in({"bs"})) return script == "Cyrl" ? 1251 : 1250;
  if (in({"az", "uz"})) return script == "Cyrl" ? 1251 : 1254;
  if (in({"cs", "hu", "pl", "ro", "sk", "sl", "hr", "sq"})) return 1250;
  if (in({"ru", "uk", "be", "bg", "mk", "kk", "ky", "tt", "mn"})) return 1251;
  if (in({"el"})) return 1253;
  if (in({"tr"})) return 1254;
  if (in({"he"})) return 1255;
  if (in({"ar", "fa", "ur"})) return 1256;
  if (in({"et", "lt", "lv"})) return 1257;
  if (in({"vi"})) return 1258;
  if (in({"th"})) return 874;
  if (in({"ja"})) return 932;
  if (in({"ko"})) return 949;
  if (in({"zh"})) {
    const std::string& t = locale->territory;
    if (t == "TW" || t == "HK" || t == "MO") return 950;
    return 936;  // CN, SG and a bare "zh" are Simplified Chinese
  }
  return 1252;
}

std::string CultureNameForLocale(std::string_view value) {
  std::optional<PosixLocale> locale = ParsePosixLocale(value);
  if (!locale) return "en-US";
  std::string name = locale->language;
  if (!locale->script.empty()) name += "-" + locale->script;
  if (!locale->territory.empty()) name += "-" + locale->territory;
  return name;
}

std::optional<std::pair<std::string, std::string>> FirstSetVariable(
    std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return std::make_pair(std::string(name), value);
  }
  return std::nullopt;
}

int ParseCodePage(std::string_view value) {
  static constexpr int kSupported[] = {1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257,
                                       1258, 874,  932,  936,  949,  950,  65001};
  if (value.empty() || value.size() > 5) return 0;
  int number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  for (int page : kSupported) {
    if (page == number) return page;
  }
  return 0;
}

}  // namespace Norv::Text::internal
