// The wire codec: every null survives the trip, and a peer's inconsistent
// columns are refused rather than read out of range.
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
