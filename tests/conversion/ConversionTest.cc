// The conversion rules under the default test environment: LC_ALL=C.UTF-8,
// so code page 1252 and the en-US culture.
#include <gtest/gtest.h>

#include <climits>

#include <optional>
#include <random>
#include <string>

#include "conversion/Conversion.h"
#include "services/Text.h"

namespace Norv::Interop {
namespace {

using Base::SimdLevel;
using ServiceModel::Contracts::Data::DoubleResultSet;
using ServiceModel::Contracts::Data::DoubleResultSetCollection;
using ServiceModel::Contracts::Data::StringResultSet;
using ServiceModel::Contracts::Data::StringResultSetCollection;

TEST(StringRules, NullAndEmptyAreDistinctOnTheServiceSideOnly) {
  ServiceString fromNull = ToServiceString(nullptr);
  ServiceString fromEmpty = ToServiceString("");
  EXPECT_FALSE(fromNull.IsNull());
  EXPECT_TRUE(fromNull.Units().empty());
  EXPECT_EQ(fromNull, fromEmpty);
  EXPECT_NE(fromNull, ServiceString::Null());

  EXPECT_EQ(NativeString(ServiceString::Null()), "");
  EXPECT_EQ(NativeString(ServiceString(u"")), "");
}

TEST(StringRules, Cp1252DecodesBytesAboveAscii) {
  ASSERT_EQ(Text::AnsiCodePage(), 1252);
  EXPECT_EQ(ToServiceString("caf\xE9").Units(), u"caf\u00E9");
  EXPECT_EQ(ToServiceString("\x80").Units(), u"\u20AC");
  EXPECT_EQ(ToServiceString("\x9F").Units(), u"\u0178");
  EXPECT_EQ(ToServiceString("\x8A\x9A").Units(), u"\u0160\u0161");
  // Bytes 1252 leaves undefined decode to the C1 controls, as on Windows.
  EXPECT_EQ(ToServiceString("\x81\x8D\x8F\x90\x9D").Units(), u"\u0081\u008D\u008F\u0090\u009D");
  EXPECT_EQ(ToServiceString("\xFF").Units(), u"\u00FF");
}

TEST(StringRules, Cp1252LongTextDecodesLikeByteByByte) {
  // Long enough for the vector path, with special bytes at every offset
  // inside a 16-byte block; each byte alone takes the scalar path.
  std::string text;
  for (int i = 0; i < 4096; ++i) {
    int b = (i * 7 + i / 16) % 255 + 1;
    text += static_cast<char>(i % 5 == 0 ? 'a' + i % 26 : b);
  }
  std::u16string whole = ToServiceString(text.c_str()).Units();
  ASSERT_EQ(whole.size(), text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char one[2] = {text[i], '\0'};
    ASSERT_EQ(whole[i], ToServiceString(one).Units()[0]) << "at byte " << i;
  }
}

TEST(StringRules, Cp1252RoundTripsEveryByteOutside80To9F) {
  std::string bytes;
  for (int b = 1; b < 256; ++b) {
    if (b < 0x80 || b > 0x9F) bytes += static_cast<char>(b);
  }
  for (int repeat = 0; repeat < 5; ++repeat) bytes += bytes;
  EXPECT_EQ(NativeString(ToServiceString(bytes.c_str())), bytes);
}

TEST(StringRules, CutAtTheFirstZero) {
  const char withZero[] = "ab\0cd";
  EXPECT_EQ(ToServiceString(withZero).Units(), u"ab");

  std::string cut = NativeString(ServiceString(std::u16string(u"ab\0cd", 5)));
  EXPECT_EQ(cut, "ab");
  EXPECT_EQ(cut.size(), 2u);

  // Past the vector path's first blocks, and at each offset of a block.
  for (std::size_t at : {0u, 15u, 16u, 17u, 31u, 1000u}) {
    std::u16string units(2000, u'x');
    units[at] = u'\0';
    EXPECT_EQ(NativeString(ServiceString(units)), std::string(at, 'x')) << "zero at " << at;
  }
}

TEST(StringRules, NativeStringKeepsTheLowByte) {
  EXPECT_EQ(NativeString(ServiceString(u"A\u00E9")), "A\xE9");
  EXPECT_EQ(NativeString(ServiceString(u"\u20AC")), "\xAC");
  std::string zero = NativeString(ServiceString(u"\u0100"));
  EXPECT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero[0], '\0');

  // Every code unit value, long enough for the vector path: a saturating
  // narrow would turn U+0141 into 0xFF instead of 0x41.
  std::u16string units;
  for (std::uint32_t u = 1; u <= 0xFFFF; ++u) units += static_cast<char16_t>(u);
  std::string bytes = NativeString(ServiceString(units));
  ASSERT_EQ(bytes.size(), units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    ASSERT_EQ(static_cast<unsigned char>(bytes[i]), units[i] & 0xFF)
        << "unit " << static_cast<int>(units[i]);
  }
}

TEST(StringRules, EveryNarrowingLoopAgreesWithTheScalarOne) {
  std::mt19937 random(7);
  for (std::size_t length : {0u, 1u, 15u, 16u, 31u, 32u, 33u, 64u, 100u, 4099u}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::u16string units(length, u'\0');
      for (char16_t& u : units) u = static_cast<char16_t>(random() % 0xFFFF + 1);
      // Sometimes a U+0000 somewhere inside.
      if (length > 0 && trial % 2 == 1) units[random() % length] = u'\0';
      std::string expected(length, '\0');
      std::size_t expectedLength =
          *internal::NarrowUnitsWith(SimdLevel::kScalar, units.data(), length, expected.data());
      expected.resize(expectedLength);
      for (SimdLevel level : {SimdLevel::kSse2, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
        std::string out(length, '\0');
        std::optional<std::size_t> n =
            internal::NarrowUnitsWith(level, units.data(), length, out.data());
        if (!n) continue;  // the processor lacks this instruction set
        out.resize(*n);
        ASSERT_EQ(out, expected) << "level " << static_cast<int>(level) << ", length " << length;
      }
    }
  }
}

TEST(ListRule, KeepsTheCollectionOrder) {
  EXPECT_TRUE(MirnDataService::Interop::ConvertToNativeDoubleKeyValuePair(
                  DoubleResultSetCollection(std::in_place), "GetForecastEURList")
                  .empty());

  DoubleResultSetCollection doubles(std::in_place);
  doubles->emplace_back(DoubleResultSet(7, 1.5));
  doubles->emplace_back(DoubleResultSet(3, -2.25));
  doubles->emplace_back(DoubleResultSet(9, 1e300));
  auto pairs = MirnDataService::Interop::ConvertToNativeDoubleKeyValuePair(doubles, "op");
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[0].key, 7);
  EXPECT_EQ(pairs[0].value, 1.5);
  EXPECT_EQ(pairs[1].key, 3);
  EXPECT_EQ(pairs[1].value, -2.25);
  EXPECT_EQ(pairs[2].key, 9);
  EXPECT_EQ(pairs[2].value, 1e300);

  StringResultSetCollection strings(std::in_place);
  strings->emplace_back(StringResultSet(2, ServiceString(u"x\u20ACy")));
  strings->emplace_back(StringResultSet(1, ServiceString::Null()));
  auto texts = MirnDataService::Interop::ConvertToNativeStringKeyValuePair(strings, "op");
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].key, 2);
  EXPECT_EQ(texts[0].value, "x\xACy");
  EXPECT_EQ(texts[1].key, 1);
  EXPECT_EQ(texts[1].value, "");  // a null value inside a record is tolerated
}

TEST(ListRule, NullCollectionOrRecordRaisesAndReturnsNothing) {
  std::vector<NativeDoubleKeyValuePair> result{{1, 1.0}};
  try {
    result = MirnDataService::Interop::ConvertToNativeDoubleKeyValuePair(
        DoubleResultSetCollection(), "GetForecastEURList");
    FAIL() << "a null collection converted";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("GetForecastEURList"), std::string::npos) << e.what();
  }
  EXPECT_EQ(result.size(), 1u);  // the caller's value is untouched

  StringResultSetCollection strings(std::in_place);
  strings->emplace_back(StringResultSet(1, ServiceString(u"a")));
  strings->emplace_back(std::nullopt);
  strings->emplace_back(StringResultSet(3, ServiceString(u"c")));
  try {
    MirnDataService::Interop::ConvertToNativeStringKeyValuePair(strings, "GetAuthors");
    FAIL() << "a null record converted";
  } catch (const std::exception& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("GetAuthors"), std::string::npos) << what;
    EXPECT_NE(what.find("position 1"), std::string::npos) << what;
  }
}

TEST(ShortDateRule, DefaultCultureIsEnUsUnderTheCLocale) {
  EXPECT_EQ(Text::CurrentCultureName(), "en-US");
  EXPECT_EQ(FormatShortDate(DateTime{2011, 3, 7, 23, 59, 0, 0}), ServiceString(u"3/7/2011"));
  EXPECT_EQ(NativeString(FormatShortDate(DateTime{1999, 12, 31})), "12/31/1999");
}

// The list path formats into a reused buffer: it must give the rule's bytes
// for every culture, long dates after short ones and back.
TEST(ShortDateRule, NativeShortDateIsTheRuleWithoutItsStrings) {
  for (const char* culture : {"en-US", "bg-BG", "th-TH", "ar-SA", "zh-TW", "de-DE"}) {
    Text::SetCurrentCulture(culture);
    for (const DateTime& d : {DateTime{2011, 3, 7}, DateTime{1, 1, 1}, DateTime{9999, 12, 31},
                              DateTime{INT_MAX, 1, 2}, DateTime{2030, 10, 1}}) {
      EXPECT_EQ(NativeShortDate(d), NativeString(FormatShortDate(d))) << culture << " " << d.year;
    }
  }
  Text::ResetCurrentCulture();
}

}  // namespace
}  // namespace Norv::Interop
