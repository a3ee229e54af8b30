// The document's text form: a header line with the format version, three
// fixed lines, one line per pair and a closing "end" line, so that a cut-off
// file is told apart from a short list.
#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/documents/DocumentStore.h"

namespace Norv::PreferredTDList::internal {
namespace {

// The offending text as a short, printable quotation for error messages.
std::string Quote(std::string_view text) {
  constexpr std::size_t kMaxShown = 40;
  std::string out = "'";
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (text.size() > kMaxShown) out += "...";
  out += "'";
  return out;
}

bool ParseInt32(std::string_view token, std::int32_t& value) {
  const char* end = token.data() + token.size();
  auto [ptr, ec] = std::from_chars(token.data(), end, value);
  return ec == std::errc() && ptr == end;
}

// The whitespace-separated fields of a line; no line of the format has more
// than three, so a fourth only marks the line as wrong.
struct Fields {
  std::array<std::string_view, 4> field;
  std::size_t count = 0;
  std::string_view operator[](std::size_t i) const { return field[i]; }
  std::size_t size() const { return count; }
};

Fields Tokens(std::string_view line) {
  Fields fields;
  std::size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (i < line.size() && fields.count < fields.field.size()) {
    while (i < line.size() && isSpace(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !isSpace(line[i])) ++i;
    if (i > start) fields.field[fields.count++] = line.substr(start, i - start);
  }
  return fields;
}

class Parser {
 public:
  Parser(std::string_view text, const std::string& path) : rest_(text), path_(path) {}

  Document Parse() {
    if (rest_.empty()) Fail("is empty");
    Document document;
    std::string_view line = NextLine();
    Fields tokens = Tokens(line);
    std::int32_t version = 0;
    if (tokens.size() != 2 || tokens[0] != kFormatTag || !ParseInt32(tokens[1], version)) {
      Fail("does not start with the line '" + std::string(kFormatTag) + " VERSION' (line 1 is " +
           Quote(line) + ")");
    }
    if (version > kFormatVersion) {
      Fail("has format version " + std::to_string(version) + ", newer than version " +
           std::to_string(kFormatVersion) + " that this library reads");
    }
    if (version < 1) Fail("has the unknown format version " + std::to_string(version));
    document.mode = static_cast<PreferredTDMode>(Field("mode"));
    document.list.SetLastBoreholeId(Field("last-borehole-id"));
    document.list.SetLastTDChartId(Field("last-td-chart-id"));
    for (;;) {
      line = NextLine();
      tokens = Tokens(line);
      if (tokens.size() == 1 && tokens[0] == "end") break;
      BoreholeTDId pair;
      std::int32_t boreholeId = 0;
      std::int32_t tdId = 0;
      if (tokens.size() != 3 || tokens[0] != "pair" || !ParseInt32(tokens[1], boreholeId) ||
          !ParseInt32(tokens[2], tdId)) {
        FailAtLine("expected 'pair BOREHOLE-ID TD-ID' or 'end', found " + Quote(line));
      }
      pair.SetBoreholeId(boreholeId);
      pair.SetTDId(tdId);
      document.list.Pairs().push_back(pair);
    }
    if (!rest_.empty()) FailAtLine("more text follows the closing line 'end'");
    return document;
  }

 private:
  std::string_view NextLine() {
    if (rest_.empty()) {
      Fail("is truncated: it ends after line " + std::to_string(lineNumber_) +
           " without the closing line 'end'");
    }
    const std::size_t newline = rest_.find('\n');
    ++lineNumber_;
    if (newline == std::string_view::npos) {
      Fail("is truncated: line " + std::to_string(lineNumber_) + " " + Quote(rest_) +
           " has no line break");
    }
    std::string_view line = rest_.substr(0, newline);
    rest_.remove_prefix(newline + 1);
    return line;
  }

  std::int32_t Field(std::string_view name) {
    std::string_view line = NextLine();
    Fields tokens = Tokens(line);
    std::int32_t value = 0;
    if (tokens.size() != 2 || tokens[0] != name || !ParseInt32(tokens[1], value)) {
      FailAtLine("expected '" + std::string(name) + " NUMBER' (a 32-bit integer), found " +
                 Quote(line));
    }
    return value;
  }

  [[noreturn]] void FailAtLine(const std::string& what) {
    Fail("is corrupt: line " + std::to_string(lineNumber_) + ": " + what);
  }

  [[noreturn]] void Fail(const std::string& what) {
    throw DocumentException("the preferred TD list " + path_ + " " + what, path_);
  }

  std::string_view rest_;
  const std::string& path_;
  int lineNumber_ = 0;
};

void AppendLine(std::string& out, std::string_view name, std::int32_t value) {
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out += name;
  out += ' ';
  out.append(digits, end);
  out += '\n';
}

}  // namespace

std::string FormatDocument(const Document& document) {
  std::string out;
  // "pair " and two numbers of at most 11 characters each.
  out.reserve(96 + document.list.Pairs().size() * 30);
  AppendLine(out, kFormatTag, kFormatVersion);
  AppendLine(out, "mode", document.mode);
  AppendLine(out, "last-borehole-id", document.list.LastBoreholeId());
  AppendLine(out, "last-td-chart-id", document.list.LastTDChartId());
  char digits[32];
  for (const BoreholeTDId& pair : document.list.Pairs()) {
    char* p = std::to_chars(digits, digits + 12, pair.BoreholeId()).ptr;
    *p++ = ' ';
    p = std::to_chars(p, p + 12, pair.TDId()).ptr;
    out += "pair ";
    out.append(digits, p);
    out += '\n';
  }
  out += "end\n";
  return out;
}

Document ParseDocument(std::string_view text, const std::string& path) {
  return Parser(text, path).Parse();
}

}  // namespace Norv::PreferredTDList::internal
