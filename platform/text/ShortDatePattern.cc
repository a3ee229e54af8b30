// Short-date patterns: the built-in .NET table, ICU patterns rewritten into
// .NET syntax, and the compiler that turns a pattern into a few operations so
// that formatting a date needs no parsing and no ICU.
#include <array>
#include <limits>

#include "platform/text/TextInternal.h"

namespace Norv::Text::internal {
namespace {

struct TableEntry {
  const char* culture;
  const char16_t* pattern;
};

// The short-date patterns .NET Framework reports on Windows 7, for the
// cultures where ICU's rule disagrees with .NET or where a CLDR change must
// not move them. One Windows generation for the whole table: Windows 7, the
// generation beside .NET Framework 2.0 hosts (Windows 10 changed en-CA to
// yyyy-MM-dd, hu-HU to "yyyy. MM. dd." and pl-PL, from Windows 8, to
// dd.MM.yyyy).
constexpr TableEntry kTable[] = {
    {"ar-SA", u"dd/MM/yy"},   {"bg-BG", u"d.M.yyyy 'г.'"}, {"cs-CZ", u"d.M.yyyy"},
    {"da-DK", u"dd-MM-yyyy"}, {"de-CH", u"dd.MM.yyyy"},    {"de-DE", u"dd.MM.yyyy"},
    {"el-GR", u"d/M/yyyy"},   {"en-AU", u"d/MM/yyyy"},     {"en-CA", u"dd/MM/yyyy"},
    {"en-GB", u"dd/MM/yyyy"}, {"en-IN", u"dd-MM-yyyy"},    {"en-NZ", u"d/MM/yyyy"},
    {"en-US", u"M/d/yyyy"},   {"en-ZA", u"yyyy/MM/dd"},    {"es-AR", u"dd/MM/yyyy"},
    {"es-ES", u"dd/MM/yyyy"}, {"es-MX", u"dd/MM/yyyy"},    {"fi-FI", u"d.M.yyyy"},
    {"fr-CA", u"yyyy-MM-dd"}, {"fr-FR", u"dd/MM/yyyy"},    {"he-IL", u"dd/MM/yyyy"},
    {"hr-HR", u"d.M.yyyy."},  {"hu-HU", u"yyyy.MM.dd."},   {"id-ID", u"dd/MM/yyyy"},
    {"it-IT", u"dd/MM/yyyy"}, {"ja-JP", u"yyyy/MM/dd"},    {"ko-KR", u"yyyy-MM-dd"},
    {"nb-NO", u"dd.MM.yyyy"}, {"nl-NL", u"d-M-yyyy"},      {"pl-PL", u"yyyy-MM-dd"},
    {"pt-BR", u"dd/MM/yyyy"}, {"pt-PT", u"dd-MM-yyyy"},    {"ro-RO", u"dd.MM.yyyy"},
    {"ru-RU", u"dd.MM.yyyy"}, {"sk-SK", u"d. M. yyyy"},    {"sv-SE", u"yyyy-MM-dd"},
    {"th-TH", u"d/M/yyyy"},   {"tr-TR", u"dd.MM.yyyy"},    {"uk-UA", u"dd.MM.yyyy"},
    {"vi-VN", u"dd/MM/yyyy"}, {"zh-CN", u"yyyy/M/d"},      {"zh-TW", u"yyyy/M/d"},
};

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool IsBidiMark(char16_t c) { return c == 0x200E || c == 0x200F || c == 0x061C; }

std::size_t RunLength(std::u16string_view s, std::size_t i) {
  std::size_t n = 1;
  while (i + n < s.size() && s[i + n] == s[i]) ++n;
  return n;
}

std::string Position(std::size_t i) { return "at position " + std::to_string(i + 1); }

// Writes `value` with at least `width` digits; negative values get a sign.
char16_t* WriteNumber(char16_t* out, std::int64_t value, unsigned width) {
  std::uint64_t v = static_cast<std::uint64_t>(value);
  if (value < 0) {
    *out++ = u'-';
    v = 0 - v;  // also right for the most negative value
  }
  char16_t digits[24];
  unsigned n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n < width) digits[n++] = u'0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

// "00" to "99", so that a field is one or two loads rather than divisions.
constexpr std::array<char16_t, 200> kDigitPairs = [] {
  std::array<char16_t, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char16_t>(u'0' + i / 10);
    pairs[2 * i + 1] = static_cast<char16_t>(u'0' + i % 10);
  }
  return pairs;
}();

}  // namespace

const char16_t* TableShortDatePattern(std::string_view cultureName) {
  for (const TableEntry& entry : kTable) {
    if (cultureName == entry.culture) return entry.pattern;
  }
  return nullptr;
}

std::u16string NetPatternFromIcu(std::u16string_view icu, std::string* error) {
  std::u16string out;
  std::u16string literal;
  auto flushLiteral = [&] {
    if (literal.empty()) return;
    out += u'\'';
    for (char16_t c : literal) {
      if (c == u'\'' || c == u'\\') out += u'\\';
      out += c;
    }
    out += u'\'';
    literal.clear();
  };
  bool quoted = false;
  bool skipSpace = false;  // after a dropped era field
  for (std::size_t i = 0; i < icu.size(); ++i) {
    char16_t c = icu[i];
    if (IsBidiMark(c)) continue;
    if (c == u'\'') {
      if (i + 1 < icu.size() && icu[i + 1] == u'\'') {
        literal += u'\'';
        ++i;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    if (quoted || !IsAsciiLetter(c)) {
      if (skipSpace && !quoted && (c == u' ' || c == 0x00A0 || c == 0x202F)) continue;
      skipSpace = false;
      literal += c;
      continue;
    }
    skipSpace = false;
    std::size_t n = RunLength(icu, i);
    if (c == u'G') {
      // .NET Framework short dates carry no era (fa-IR, ps-AF...): drop it
      // with the spaces around it.
      while (!literal.empty() &&
             (literal.back() == u' ' || literal.back() == 0x00A0 || literal.back() == 0x202F)) {
        literal.pop_back();
      }
      skipSpace = true;
      i += n - 1;
      continue;
    }
    flushLiteral();
    switch (c) {
      case u'd':
        if (n > 2) break;
        out.append(n, u'd');
        i += n - 1;
        continue;
      case u'M':
      case u'L':
        if (n > 2) break;
        out.append(n, u'M');
        i += n - 1;
        continue;
      case u'y':
        // In ICU `y` is the whole year and `yy` two digits; .NET short dates
        // show four digits.
        out.append(n <= 2 ? 4 : n, u'y');
        i += n - 1;
        continue;
      default:
        break;
    }
    *error = "ICU short-date pattern has the field '" + std::string(n, static_cast<char>(c)) +
             "', which has no numeric .NET equivalent";
    return {};
  }
  flushLiteral();
  return out;
}

std::optional<ShortDatePattern> ShortDatePattern::Compile(std::u16string_view pattern,
                                                          std::string* error) {
  ShortDatePattern compiled;
  auto literal = [&compiled](char16_t c) {
    if (!compiled.ops_.empty() && compiled.ops_.back().kind == Kind::kLiteral &&
        compiled.ops_.back().offset + compiled.ops_.back().length == compiled.literals_.size()) {
      ++compiled.ops_.back().length;
    } else {
      compiled.ops_.push_back(
          Op{Kind::kLiteral, 0, static_cast<std::uint16_t>(compiled.literals_.size()), 1});
    }
    compiled.literals_ += c;
    compiled.maxLength_ += 1;
  };
  if (pattern.size() > 1000) {
    *error = "the pattern is longer than 1000 characters";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    char16_t c = pattern[i];
    if (c == u'\'' || c == u'"') {
      std::size_t start = i++;
      for (; i < pattern.size() && pattern[i] != c; ++i) {
        if (pattern[i] == u'\\') {
          if (++i == pattern.size()) break;
        }
        literal(pattern[i]);
      }
      if (i >= pattern.size()) {
        *error = "the quote " + Position(start) + " is never closed";
        return std::nullopt;
      }
      continue;
    }
    if (c == u'\\') {
      if (i + 1 == pattern.size()) {
        *error = "the pattern ends with a lone backslash";
        return std::nullopt;
      }
      literal(pattern[++i]);
      continue;
    }
    if (c == u'%') {
      // "%d" is the one-letter field d; "%%" and a trailing '%' are invalid.
      if (i + 1 == pattern.size() || pattern[i + 1] == u'%') {
        *error = "the '%' " + Position(i) + " is not followed by a field";
        return std::nullopt;
      }
      continue;
    }
    std::size_t n = (c == u'd' || c == u'M' || c == u'y') ? RunLength(pattern, i) : 1;
    switch (c) {
      case u'd':
      case u'M':
        if (n > 2) {
          *error = "the field '" + std::string(n, static_cast<char>(c)) + "' " + Position(i) +
                   " asks for a day or month name; only d, dd, M, MM and y... are supported";
          return std::nullopt;
        }
        compiled.ops_.push_back(
            Op{c == u'd' ? Kind::kDay : Kind::kMonth, static_cast<std::uint8_t>(n), 0, 0});
        compiled.maxLength_ += 11;
        i += n - 1;
        continue;
      case u'y':
        if (n > 9) {
          *error = "the year field " + Position(i) + " is wider than nine digits";
          return std::nullopt;
        }
        compiled.ops_.push_back(
            Op{n <= 2 ? Kind::kShortYear : Kind::kYear, static_cast<std::uint8_t>(n), 0, 0});
        compiled.maxLength_ += 11;
        i += n - 1;
        continue;
      case u'g':
      case u'h':
      case u'H':
      case u'm':
      case u's':
      case u'f':
      case u'F':
      case u't':
      case u'z':
      case u'K':
        *error = "the field '" + std::string(1, static_cast<char>(c)) + "' " + Position(i) +
                 " is not part of a date; only d, dd, M, MM and y... are supported";
        return std::nullopt;
      default:
        literal(c);
        continue;
    }
  }
  return compiled;
}

std::size_t ShortDatePattern::Format(std::int64_t year, std::int32_t month, std::int32_t day,
                                     char16_t* out) const noexcept {
  std::int64_t shortYear = year % 100;
  if (shortYear < 0) shortYear += 100;
  // Indexed by Kind: no switch on the hot path.
  const std::int64_t values[5] = {0, day, month, shortYear, year};
  char16_t* p = out;
  for (const Op& op : ops_) {
    if (op.kind == Kind::kLiteral) {
      const char16_t* text = literals_.data() + op.offset;
      *p = text[0];
      for (std::uint16_t k = 1; k < op.length; ++k) p[k] = text[k];
      p += op.length;
      continue;
    }
    const std::int64_t value = values[static_cast<int>(op.kind)];
    if (static_cast<std::uint64_t>(value) < 100 && op.width <= 2) {
      // Branch-free: days and months alternate between one and two digits
      // unpredictably. The second store may be overwritten by what follows.
      const char16_t* pair = kDigitPairs.data() + 2 * value;
      const int two = (value >= 10) | (op.width == 2);
      p[0] = pair[1 - two];
      p[1] = pair[1];
      p += 1 + two;
    } else if (op.width == 4 && value >= 1000 && value <= 9999) {
      const char16_t* high = kDigitPairs.data() + 2 * (value / 100);
      const char16_t* low = kDigitPairs.data() + 2 * (value % 100);
      p[0] = high[0];
      p[1] = high[1];
      p[2] = low[0];
      p[3] = low[1];
      p += 4;
    } else {
      p = WriteNumber(p, value, op.width);
    }
  }
  return static_cast<std::size_t>(p - out);
}

}  // namespace Norv::Text::internal
