// Behaviour that depends on the environment a process starts with. The code
// page and the user default culture are fixed once per process, so each
// fixture runs in its own ctest entry with its own environment
// (NORV_TEST_SCENARIO names it; see CMakeLists.txt) and skips elsewhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "conversion/Conversion.h"
#include "services/Text.h"

namespace Norv::Interop {
namespace {

const DateTime k7March2011{2011, 3, 7, 23, 59, 0, 0};

std::string ShortDate() { return FormatShortDate(k7March2011).ToUtf8(); }

template <const char* kScenario>
class Scenario : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* current = std::getenv("NORV_TEST_SCENARIO");
    if (current == nullptr || std::string(current) != kScenario) {
      GTEST_SKIP() << "runs only in the ctest entry conversion_" << kScenario;
    }
  }
  void TearDown() override { Text::ResetCurrentCulture(); }
};

// Runs `body` expecting TextConfigurationError; returns its message.
template <class Body>
std::string ConfigurationError(Body body) {
  try {
    body();
  } catch (const Text::TextConfigurationError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no TextConfigurationError";
  return "";
}

constexpr char kCp65001[] = "cp65001";
using Cp65001 = Scenario<kCp65001>;

TEST_F(Cp65001, DecodesUtf8AndReplacesInvalidSequences) {
  ASSERT_EQ(Text::AnsiCodePage(), 65001);
  EXPECT_EQ(ToServiceString("caf\xC3\xA9").Units(), u"caf\u00E9");
  EXPECT_EQ(ToServiceString("\xE2\x82\xAC").Units(), u"\u20AC");
  EXPECT_EQ(ToServiceString("\xF0\x9F\x98\x80").Units(), u"\U0001F600");
  EXPECT_EQ(ToServiceString("a\xFF"
                            "b")
                .Units(),
            u"a\uFFFDb");
  EXPECT_EQ(ToServiceString("a\xE2\x82").Units(), u"a\uFFFD");
  EXPECT_EQ(ToServiceString("\xED\xA0\x80").Units().find(char16_t{0xD800}), std::u16string::npos);
  // Only ASCII survives the way back under UTF-8.
  EXPECT_EQ(NativeString(ToServiceString("caf\xC3\xA9")), "caf\xE9");
  // A file name goes back through the code page instead: the caller's bytes.
  EXPECT_EQ(Text::EncodeAnsi(u"caf\u00E9\U0001F600"), "caf\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(Text::EncodeAnsi(u"a\xD800"), std::nullopt);
}

constexpr char kCp932[] = "cp932";
using Cp932 = Scenario<kCp932>;

TEST_F(Cp932, DecodesWithTheWindowsTable) {
  ASSERT_EQ(Text::AnsiCodePage(), 932);
  EXPECT_EQ(ToServiceString("\x82\xA0\x83\x41").Units(), u"\u3042\u30A2");
  EXPECT_EQ(ToServiceString("\xB1").Units(), u"\uFF71");  // half-width katakana
  // Where Windows and IBM tables differ: 0x815F is U+FF3C on Windows, and
  // 0x5C stays a backslash; NEC row 13 exists only in the Windows table.
  EXPECT_EQ(ToServiceString("\x81\x5F\x5C\x87\x90").Units(), u"\uFF3C\\\u2252");
  // A lead byte without its trail byte becomes U+FFFD, and decoding goes on.
  std::u16string cut = ToServiceString("a\x82").Units();
  EXPECT_EQ(cut, u"a\uFFFD");
  EXPECT_NE(ToServiceString("\x82\x20z").Units().find(u'z'), std::u16string::npos);
  // Encoding gives the double-byte sequences back; what the page lacks fails.
  EXPECT_EQ(Text::EncodeAnsi(u"\u3042\u30A2\uFF71\\"), "\x82\xA0\x83\x41\xB1\\");
  EXPECT_EQ(Text::EncodeAnsi(u"\u00E9"), std::nullopt);
  EXPECT_EQ(Text::EncodeAnsi(u"\uFFFD"), std::nullopt);
}

TEST_F(Cp932, ThreadsDecodeAtTheSameTime) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "\x93\xFA\x96\x7B abc ";  // 日本
  const std::u16string expected = ToServiceString(text.c_str()).Units();
  ASSERT_EQ(expected.substr(0, 3), u"\u65E5\u672C ");
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if (ToServiceString(text.c_str()).Units() != expected) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(wrong[t], 0);
}

// LC_CTYPE=ru_RU.UTF-8, LC_TIME=de_DE.UTF-8, LANG=fr_FR.UTF-8, LC_ALL unset.
constexpr char kLocale[] = "locale";
using Locale = Scenario<kLocale>;

TEST_F(Locale, CodePageFromLcCtypeCultureFromLcTime) {
  EXPECT_EQ(Text::AnsiCodePage(), 1251);
  EXPECT_EQ(ToServiceString("\xC0\xFF").Units(), u"\u0410\u044F");
  EXPECT_EQ(Text::CurrentCultureName(), "de-DE");
  EXPECT_EQ(ShortDate(), "07.03.2011");
}

// LC_ALL set but empty, LANG=ja_JP.UTF-8: an empty value counts as unset.
constexpr char kLang[] = "lang";
using Lang = Scenario<kLang>;

TEST_F(Lang, EmptyVariablesAreSkipped) {
  EXPECT_EQ(Text::AnsiCodePage(), 932);
  EXPECT_EQ(Text::CurrentCultureName(), "ja-JP");
  EXPECT_EQ(ShortDate(), "2011/03/07");
}

// NORV_ANSI_CODEPAGE=1234.
constexpr char kBadCodePage[] = "bad_codepage";
using BadCodePage = Scenario<kBadCodePage>;

TEST_F(BadCodePage, EveryConversionFailsTheSameWay) {
  std::string first = ConfigurationError([] { ToServiceString("abc"); });
  EXPECT_NE(first.find("NORV_ANSI_CODEPAGE='1234'"), std::string::npos) << first;
  EXPECT_EQ(ConfigurationError([] { ToServiceString("abc"); }), first);
  EXPECT_EQ(ConfigurationError([] { ToServiceString(nullptr); }), first);
  EXPECT_EQ(ConfigurationError([] { Text::AnsiCodePage(); }), first);
  // What needs no code page still works.
  EXPECT_EQ(NativeString(ServiceString(u"abc")), "abc");
  EXPECT_EQ(ShortDate(), "3/7/2011");
}

// LC_ALL=de_DE.UTF-8, NORV_SHORT_DATE_PATTERN=yyyy-MM-dd.
constexpr char kCustomPattern[] = "custom_pattern";
using CustomPattern = Scenario<kCustomPattern>;

TEST_F(CustomPattern, AppliesToTheUserDefaultCultureOnly) {
  EXPECT_EQ(Text::CurrentCultureName(), "de-DE");
  EXPECT_EQ(ShortDate(), "2011-03-07");
  Text::SetCurrentCulture("de-DE");
  EXPECT_EQ(ShortDate(), "07.03.2011");  // chosen by name: not customised
  std::string other;
  std::thread([&] { other = ShortDate(); }).join();
  EXPECT_EQ(other, "2011-03-07");
  Text::ResetCurrentCulture();
  EXPECT_EQ(ShortDate(), "2011-03-07");
}

// LC_ALL=de_DE.UTF-8, NORV_SHORT_DATE_PATTERN=dd.MM.'yyyy (quote not closed).
constexpr char kBadPattern[] = "bad_pattern";
using BadPattern = Scenario<kBadPattern>;

TEST_F(BadPattern, EveryDefaultCultureDateFailsTheSameWay) {
  std::string first = ConfigurationError([] { ShortDate(); });
  EXPECT_NE(first.find("NORV_SHORT_DATE_PATTERN='dd.MM.'yyyy'"), std::string::npos) << first;
  EXPECT_EQ(ConfigurationError([] { ShortDate(); }), first);
  EXPECT_EQ(ConfigurationError([] { Text::CurrentCultureName(); }), first);
  Text::SetCurrentCulture("en-US");
  EXPECT_EQ(ShortDate(), "3/7/2011");
  EXPECT_EQ(ToServiceString("abc").Units(), u"abc");
}

// LC_ALL=xx_YY.UTF-8: no such language.
constexpr char kBadLocale[] = "bad_locale";
using BadLocale = Scenario<kBadLocale>;

TEST_F(BadLocale, DefaultCultureFailsCodePageFallsBackTo1252) {
  std::string first = ConfigurationError([] { ShortDate(); });
  EXPECT_NE(first.find("LC_ALL='xx_YY.UTF-8'"), std::string::npos) << first;
  EXPECT_EQ(ConfigurationError([] { ShortDate(); }), first);
  EXPECT_EQ(Text::AnsiCodePage(), 1252);
}

}  // namespace
}  // namespace Norv::Interop
