// The text platform: cultures and their short dates, thread cultures, the
// locale environment rules and the pattern compiler.
#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <chrono>

#include <climits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/text/TextInternal.h"
#include "services/ServiceString.h"
#include "services/Text.h"

namespace Norv::Text {
namespace {

using Base::SimdLevel;

const DateTime k7March2011{2011, 3, 7, 23, 59, 0, 0};

std::string ShortDate(const DateTime& d) { return ServiceString(FormatShortDate(d)).ToUtf8(); }

// Restores the thread's culture whatever a test did.
class CultureTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetCurrentCulture(); }
};

TEST_F(CultureTest, ShortDatesOfTheCommonCultures) {
  struct Case {
    const char* culture;
    const char* expected;
  };
  const Case cases[] = {
      {"en-US", "3/7/2011"},
      {"en-GB", "07/03/2011"},
      {"de-DE", "07.03.2011"},
      {"fr-FR", "07/03/2011"},
      {"ja-JP", "2011/03/07"},
      {"ru-RU", "07.03.2011"},
      // Buddhist calendar: 2011 + 543.
      {"th-TH", "7/3/2554"},
      // Um al-Qura calendar, two-digit year, ASCII digits: 2 Rabi' II 1432.
      {"ar-SA", "02/04/32"},
      {"hu-HU", "2011.03.07."},
      {"bg-BG", "7.3.2011 \u0433."},
      {"pl-PL", "2011-03-07"},
      // Not in the table: ICU's pattern with the year widened.
      {"is-IS", "7.3.2011"},
      // Persian calendar from ICU, its era dropped: 16 Esfand 1389.
      {"fa-IR", "1389/12/16"},
      // A neutral culture formats like its most likely country.
      {"de", "07.03.2011"},
  };
  for (const Case& c : cases) {
    SetCurrentCulture(c.culture);
    EXPECT_EQ(ShortDate(k7March2011), c.expected) << c.culture;
  }
}

// Other calendars come from a month table built once from ICU; hold it
// against ICU's own formatter, day by day, inside and outside its range.
TEST_F(CultureTest, OtherCalendarsAgreeWithIcuEveryDay) {
  struct Case {
    const char* culture;
    const char* icuLocale;
    const char16_t* icuPattern;  // the culture's .NET pattern in ICU syntax
  };
  const Case cases[] = {{"ar-SA", "ar_SA@numbers=latn", u"dd/MM/yy"},
                        {"fa-IR", "fa_IR@numbers=latn", u"yyyy/M/d"}};
  for (const Case& c : cases) {
    SetCurrentCulture(c.culture);
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat icu(icu::UnicodeString(c.icuPattern), icu::Locale(c.icuLocale), status);
    ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    icu.setTimeZone(*icu::TimeZone::getGMT());
    using std::chrono::days;
    using std::chrono::sys_days;
    const sys_days from = std::chrono::year{1899} / 6 / 1;
    const sys_days to = std::chrono::year{2101} / 6 / 1;
    int checked = 0;
    for (sys_days d = from; d < to; d += days{3}) {
      const std::chrono::year_month_day ymd{d};
      const DateTime date{static_cast<int>(ymd.year()), static_cast<int>(unsigned(ymd.month())),
                          static_cast<int>(unsigned(ymd.day()))};
      icu::UnicodeString expected;
      icu.format(static_cast<double>(d.time_since_epoch().count()) * 86400000.0 + 43200000.0,
                 expected);
      std::string expectedUtf8;
      expected.toUTF8String(expectedUtf8);
      ASSERT_EQ(ShortDate(date), expectedUtf8)
          << c.culture << " " << date.year << "-" << date.month << "-" << date.day;
      ++checked;
    }
    EXPECT_GT(checked, 24000);
  }
}

TEST_F(CultureTest, NamesAreCaseInsensitiveAndCanonical) {
  SetCurrentCulture("DE_de");
  EXPECT_EQ(CurrentCultureName(), "de-DE");
  SetCurrentCulture("sr-latn-rs");
  EXPECT_EQ(CurrentCultureName(), "sr-Latn-RS");
  EXPECT_EQ(ShortDate(k7March2011).find("2011"), ShortDate(k7March2011).size() - 5);
  SetCurrentCulture("");  // the invariant culture
  EXPECT_EQ(ShortDate(k7March2011), "03/07/2011");
}

TEST_F(CultureTest, YearsAndUnusualValues) {
  SetCurrentCulture("en-US");
  EXPECT_EQ(ShortDate(DateTime{5, 1, 2}), "1/2/0005");
  EXPECT_EQ(ShortDate(DateTime{9999, 12, 31}), "12/31/9999");
  SetCurrentCulture("th-TH");
  // .NET's Buddhist calendar is proleptic: no Julian switch in 1582.
  EXPECT_EQ(ShortDate(DateTime{1500, 3, 1}), "1/3/2043");
  EXPECT_EQ(ShortDate(DateTime{INT_MAX, 1, 2}), "2/1/2147484190");
  // No field value makes the rule raise, in any calendar.
  for (const char* culture : {"en-US", "th-TH", "ar-SA", "fa-IR"}) {
    SetCurrentCulture(culture);
    for (const DateTime& d :
         {DateTime{2011, 13, 40}, DateTime{0, 0, 0}, DateTime{-5, -1, -1},
          DateTime{INT_MAX, INT_MAX, INT_MAX}, DateTime{INT_MIN, INT_MIN, INT_MIN}}) {
      EXPECT_NO_THROW(FormatShortDate(d)) << culture << " " << d.year;
    }
  }
}

TEST_F(CultureTest, UnknownNamesRaiseNamingTheValueAndChangeNothing) {
  SetCurrentCulture("de-DE");
  for (const char* name : {"xx-YY", "de-QQ", "en-Zzzq-US", "german", "de-DE-x", "de-", "-DE"}) {
    try {
      SetCurrentCulture(name);
      ADD_FAILURE() << "accepted " << name;
    } catch (const TextConfigurationError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("'") + name + "'"), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(CurrentCultureName(), "de-DE");
  }
}

TEST(ThreadCulture, AChoiceStaysOnItsThread) {
  SetCurrentCulture("de-DE");
  std::string otherBefore, otherAfter, otherName;
  std::thread other([&] {
    otherBefore = ShortDate(k7March2011);
    SetCurrentCulture("ja-JP");
    otherAfter = ShortDate(k7March2011);
    otherName = CurrentCultureName();
  });
  other.join();
  EXPECT_EQ(otherBefore, "3/7/2011");  // the user default, not de-DE
  EXPECT_EQ(otherAfter, "2011/03/07");
  EXPECT_EQ(otherName, "ja-JP");
  EXPECT_EQ(ShortDate(k7March2011), "07.03.2011");
  ResetCurrentCulture();
  EXPECT_EQ(ShortDate(k7March2011), "3/7/2011");
}

TEST(ThreadCulture, ManyThreadsFormatInTheirOwnCultures) {
  const std::vector<std::pair<const char*, const char*>> cultures = {
      {"en-US", "3/7/2011"}, {"de-DE", "07.03.2011"}, {"th-TH", "7/3/2554"},
      {"ar-SA", "02/04/32"}, {"ja-JP", "2011/03/07"}, {"fa-IR", "1389/12/16"}};
  std::vector<std::thread> threads;
  std::vector<int> wrong(cultures.size(), 0);
  for (std::size_t t = 0; t < cultures.size(); ++t) {
    threads.emplace_back([&, t] {
      SetCurrentCulture(cultures[t].first);
      for (int i = 0; i < 2000; ++i) {
        if (ShortDate(k7March2011) != cultures[t].second) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < cultures.size(); ++t) EXPECT_EQ(wrong[t], 0) << cultures[t].first;
}

TEST(LocaleEnvironment, CodePageFollowsTheLanguage) {
  struct Case {
    const char* locale;
    int codePage;
  };
  const Case cases[] = {
      {"", 1252},
      {"C", 1252},
      {"POSIX", 1252},
      {"C.UTF-8", 1252},
      {"en_US.UTF-8", 1252},
      {"de_DE@euro", 1252},
      {"hi_IN", 1252},
      {"ru_RU.UTF-8", 1251},
      {"uk_UA", 1251},
      {"pl_PL", 1250},
      {"cs_CZ.ISO-8859-2", 1250},
      {"sr_RS", 1251},
      {"sr_RS@latin", 1250},
      {"bs_BA", 1250},
      {"el_GR", 1253},
      {"tr_TR", 1254},
      {"az_AZ", 1254},
      {"he_IL", 1255},
      {"iw_IL", 1255},
      {"ar_EG", 1256},
      {"fa_IR", 1256},
      {"lt_LT", 1257},
      {"vi_VN", 1258},
      {"th_TH", 874},
      {"ja_JP.eucJP", 932},
      {"zh_CN.GB18030", 936},
      {"zh_SG", 936},
      {"zh_TW.Big5", 950},
      {"zh_HK", 950},
      {"ko_KR.EUC-KR", 949},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(internal::CodePageForLocale(c.locale), c.codePage) << c.locale;
  }
}

TEST(LocaleEnvironment, CultureNames) {
  EXPECT_EQ(internal::CultureNameForLocale("de_DE.UTF-8@euro"), "de-DE");
  EXPECT_EQ(internal::CultureNameForLocale("no_NO"), "nb-NO");
  EXPECT_EQ(internal::CultureNameForLocale("sr_RS@latin"), "sr-Latn-RS");
  EXPECT_EQ(internal::CultureNameForLocale("EN_gb"), "en-GB");
  EXPECT_EQ(internal::CultureNameForLocale("C.UTF-8"), "en-US");
  EXPECT_EQ(internal::CultureNameForLocale("POSIX"), "en-US");
  EXPECT_EQ(internal::CultureNameForLocale("fr"), "fr");
}

TEST(LocaleEnvironment, CodePageVariable) {
  for (int page :
       {1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 874, 932, 936, 949, 950, 65001}) {
    EXPECT_EQ(internal::ParseCodePage(std::to_string(page)), page);
  }
  for (const char* bad : {"", "1234", "1259", "437", "utf-8", " 1252", "1252 ", "99999999999"}) {
    EXPECT_EQ(internal::ParseCodePage(bad), 0) << bad;
  }
}

TEST(SingleByteDecoders, EveryInstructionSetAgreesWithTheScalarTable) {
  std::mt19937 random(11);
  for (int page : {1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 874}) {
    for (std::size_t length : {1u, 15u, 16u, 17u, 32u, 33u, 95u, 4099u}) {
      std::string bytes(length, '\0');
      for (char& b : bytes) b = static_cast<char>(random() % 256);
      std::optional<std::u16string> scalar =
          internal::DecodeSingleByteWith(page, SimdLevel::kScalar, bytes);
      ASSERT_TRUE(scalar) << page;
      for (SimdLevel isa : {SimdLevel::kSse2, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
        std::optional<std::u16string> vector = internal::DecodeSingleByteWith(page, isa, bytes);
        if (!vector) continue;  // no such decoder on this processor
        ASSERT_EQ(*vector, *scalar)
            << "page " << page << ", length " << length << ", isa " << static_cast<int>(isa);
      }
    }
  }
  // A few known values, so that the scalar table itself is checked.
  EXPECT_EQ(internal::DecodeSingleByteWith(1251, SimdLevel::kScalar, "\xC0\xB8"), u"\u0410\u0451");
  EXPECT_EQ(internal::DecodeSingleByteWith(1250, SimdLevel::kScalar, "\x8A\xB9"), u"\u0160\u0105");
  EXPECT_EQ(internal::DecodeSingleByteWith(874, SimdLevel::kScalar, "\xA1"), u"\u0E01");
  EXPECT_EQ(internal::DecodeSingleByteWith(932, SimdLevel::kScalar, "a"), std::nullopt);
}

std::string Apply(std::u16string_view pattern, const DateTime& d) {
  std::string error;
  auto compiled = internal::ShortDatePattern::Compile(pattern, &error);
  if (!compiled) return "error: " + error;
  std::u16string out(compiled->MaxLength(), u'\0');
  out.resize(compiled->Format(d.year, d.month, d.day, out.data()));
  return ServiceString(out).ToUtf8();
}

// The way back for file names: 1252 maps all 256 bytes one to one, so every
// byte returns as itself, the euro sign included.
TEST(EncodeAnsi, Windows1252GivesTheCallersBytesBack) {
  ASSERT_EQ(Text::AnsiCodePage(), 1252);
  for (int b = 1; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Text::EncodeAnsi(Text::DecodeAnsi(byte)), byte) << b;
  }
  EXPECT_EQ(Text::EncodeAnsi(u"\u20AC"), "\x80");
  EXPECT_EQ(Text::EncodeAnsi(u"\u3042"), std::nullopt);
  EXPECT_EQ(Text::EncodeAnsi(u""), "");
}

TEST(PatternCompiler, NetSyntax) {
  EXPECT_EQ(Apply(u"d/M/yy", DateTime{2005, 3, 7}), "7/3/05");
  EXPECT_EQ(Apply(u"y", DateTime{2005, 3, 7}), "5");
  EXPECT_EQ(Apply(u"yyy|yyyyy", DateTime{2011, 3, 7}), "2011|02011");
  EXPECT_EQ(Apply(u"yyyy", DateTime{-44, 3, 15}), "-0044");
  EXPECT_EQ(Apply(u"'Day' d, \"MM\" MM", DateTime{2011, 3, 7}), "Day 7, MM 03");
  EXPECT_EQ(Apply(u"\\d d '\\'' %d", DateTime{2011, 3, 7}), "d 7 ' 7");
  EXPECT_EQ(Apply(u"yyyy\u5E74M\u6708d\u65E5", DateTime{2011, 3, 7}),
            "2011\u5E74"
            "3\u6708"
            "7\u65E5");
}

TEST(PatternCompiler, RejectsWhatItCannotFormat) {
  const std::u16string_view bad[] = {u"dd.MM.'yyyy", u"yyyy\\", u"dd MMM yyyy", u"dddd",
                                     u"HH:mm",       u"%",      u"d%%",         u"yyyyyyyyyy"};
  for (std::u16string_view pattern : bad) {
    EXPECT_EQ(Apply(pattern, k7March2011).rfind("error: ", 0), 0u)
        << ServiceString(pattern).ToUtf8();
  }
}

TEST(PatternCompiler, IcuPatternsBecomeNetPatterns) {
  std::string error;
  EXPECT_EQ(internal::NetPatternFromIcu(u"d\u200F/M\u200F/y GGGGG", &error), u"d'/'M'/'yyyy");
  EXPECT_EQ(internal::NetPatternFromIcu(u"GGGGG y-MM-dd", &error), u"yyyy'-'MM'-'dd");
  EXPECT_EQ(internal::NetPatternFromIcu(u"dd.MM.yy 'r.'", &error), u"dd'.'MM'.'yyyy' r.'");
  EXPECT_EQ(internal::NetPatternFromIcu(u"d 'de' MMMM", &error), u"");
  EXPECT_NE(error.find("MMMM"), std::string::npos);
}

}  // namespace
}  // namespace Norv::Text
