// The wire codec: every null survives the trip, and a peer's inconsistent
// columns are refused rather than read out of range.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/pipes/WireValues.h"

namespace Norv::ServiceModel::internal {
namespace {

namespace v1 = norv::contracts::v1;

TEST(WireValues, StringsKeepNullAndEmptyApart) {
  std::vector<ServiceString> values = {ServiceString(), ServiceString(u""),
                                       ServiceString(u"\u00e9\U0001D11E"), ServiceString(u"x")};
  v1::StringList list;
  StringsToWire(values, &list);
  v1::StringList parsed;
  ASSERT_TRUE(parsed.ParseFromString(list.SerializeAsString()));
  EXPECT_EQ(StringsFromWire(parsed), values);

  // Without nulls the flags column stays empty on the wire.
  v1::StringList plain;
  StringsToWire({ServiceString(u"a")}, &plain);
  EXPECT_EQ(plain.nulls_size(), 0);
}

TEST(WireValues, RecordListsRoundTripWithNullRecordsAndValues) {
  using Contracts::Data::DateTimeResultSet;
  using Contracts::Data::DoubleResultSet;
  using Contracts::Data::StringResultSet;
  std::vector<std::optional<DoubleResultSet>> doubles = {DoubleResultSet(1, 1.5), std::nullopt,
                                                         DoubleResultSet(-3, -0.0)};
  v1::DoubleResultSetList doubleList;
  DoubleResultsToWire(doubles, &doubleList);
  EXPECT_EQ(DoubleResultsFromWire(doubleList), doubles);

  std::vector<std::optional<StringResultSet>> strings = {
      StringResultSet(1, ServiceString()), std::nullopt, StringResultSet(2, ServiceString(u""))};
  v1::StringResultSetList stringList;
  StringResultsToWire(strings, &stringList);
  EXPECT_EQ(StringResultsFromWire(stringList), strings);

  std::vector<std::optional<DateTimeResultSet>> dates = {
      DateTimeResultSet(4, DateTime{2011, 3, 7, 23, 59, 58, 123}), std::nullopt};
  v1::DateTimeResultSetList dateList;
  DateTimeResultsToWire(dates, &dateList);
  EXPECT_EQ(DateTimeResultsFromWire(dateList), dates);
}

// Lists of hundreds of thousands of records take the large-block path of the
// codec (huge-page advice on the columns and the decoded vector): every row,
// null or not, must still come back, including those at the block's edges.
TEST(WireValues, LargeRecordListsRoundTripWhole) {
  using Contracts::Data::DateTimeResultSet;
  using Contracts::Data::DoubleResultSet;
  constexpr int kRows = 700'001;
  std::vector<std::optional<DoubleResultSet>> doubles;
  std::vector<std::optional<DateTimeResultSet>> dates;
  for (int i = 0; i < kRows; ++i) {
    if (i % 99'991 == 7) {
      doubles.emplace_back();
      dates.emplace_back();
    } else {
      doubles.emplace_back(DoubleResultSet(kRows - i, i * 0.5));
      dates.emplace_back(DateTimeResultSet(i, DateTime{1900 + i % 200, 1 + i % 12, 1 + i % 28}));
    }
  }
  v1::DoubleResultSetList doubleList;
  DoubleResultsToWire(doubles, &doubleList);
  v1::DoubleResultSetList parsedDoubles;
  ASSERT_TRUE(parsedDoubles.ParseFromString(doubleList.SerializeAsString()));
  EXPECT_EQ(DoubleResultsFromWire(parsedDoubles), doubles);

  v1::DateTimeResultSetList dateList;
  DateTimeResultsToWire(dates, &dateList);
  v1::DateTimeResultSetList parsedDates;
  ASSERT_TRUE(parsedDates.ParseFromString(dateList.SerializeAsString()));
  EXPECT_EQ(DateTimeResultsFromWire(parsedDates), dates);
}

TEST(WireValues, InconsistentColumnsAreMalformed) {
  v1::DoubleResultSetList doubles;
  doubles.add_ids(1);
  doubles.add_ids(2);
  doubles.add_values(1.0);
  EXPECT_THROW(DoubleResultsFromWire(doubles), MalformedMessage);
  doubles.add_values(2.0);
  doubles.add_nulls(true);
  EXPECT_THROW(DoubleResultsFromWire(doubles), MalformedMessage);

  v1::StringList strings;
  strings.add_values("a");
  strings.add_nulls(false);
  strings.add_nulls(true);
  EXPECT_THROW(StringsFromWire(strings), MalformedMessage);

  v1::DateTimeResultSetList dates;
  dates.add_ids(1);
  dates.add_years(2000);
  EXPECT_THROW(DateTimeResultsFromWire(dates), MalformedMessage);

  v1::StringResultSetList records;
  records.add_ids(1);
  EXPECT_THROW(StringResultsFromWire(records), MalformedMessage);
}

}  // namespace
}  // namespace Norv::ServiceModel::internal

namespace Norv::ServiceModel::internal {
namespace {

// Dates outside the calendar are refused by name of the field, single or in
// a list (where one bad record refuses the whole list); the edges pass.
TEST(WireValuesTest, RefusesDatesOutsideTheCalendar) {
  namespace v1 = norv::contracts::v1;
  struct Case {
    DateTime date;
    const char* field;
  };
  const Case bad[] = {
      {DateTime{0, 0, 0, 0, 0, 0, 0}, "year 0"},
      {DateTime{10000, 1, 1}, "year 10000"},
      {DateTime{2011, 13, 0}, "month 13"},
      {DateTime{2011, 3, 0}, "day 0"},
      {DateTime{2011, 2, 30}, "day 30"},
      {DateTime{2011, 2, 29}, "day 29"},
      {DateTime{1900, 2, 29}, "day 29"},
      {DateTime{2011, 4, 31}, "day 31"},
      {DateTime{2011, 3, 7, 24, 0, 0, 0}, "hour 24"},
      {DateTime{2011, 3, 7, 0, 60, 0, 0}, "minute 60"},
      {DateTime{2011, 3, 7, 0, 0, -1, 0}, "second -1"},
      {DateTime{2011, 3, 7, 0, 0, 0, 1000000000}, "nanosecond 1000000000"},
  };
  for (const Case& c : bad) {
    v1::DateTime wire;
    DateTimeToWire(c.date, &wire);
    try {
      DateTimeFromWire(wire);
      ADD_FAILURE() << "accepted " << c.field;
    } catch (const MalformedMessage& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(c.field));
    }
    using Contracts::Data::DateTimeResultSet;
    std::vector<std::optional<DateTimeResultSet>> list = {
        DateTimeResultSet(1, DateTime{2011, 3, 7}), std::nullopt, DateTimeResultSet(3, c.date)};
    v1::DateTimeResultSetList wireList;
    DateTimeResultsToWire(list, &wireList);
    try {
      DateTimeResultsFromWire(wireList);
      ADD_FAILURE() << "accepted a list with " << c.field;
    } catch (const MalformedMessage& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("record 2"));
      EXPECT_THAT(e.what(), ::testing::HasSubstr(c.field));
    }
  }
  for (const DateTime& good : {DateTime{1, 1, 1}, DateTime{9999, 12, 31, 23, 59, 59, 999999999},
                               DateTime{2000, 2, 29}, DateTime{2012, 2, 29}}) {
    v1::DateTime wire;
    DateTimeToWire(good, &wire);
    EXPECT_EQ(DateTimeFromWire(wire), good);
  }
}

}  // namespace
}  // namespace Norv::ServiceModel::internal
