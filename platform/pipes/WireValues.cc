#include "platform/pipes/WireValues.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace Norv::ServiceModel::internal {

norv::contracts::v1::LogOnRequest LogOnToWire(const ServiceString& projectPath,
                                              const ServiceString& user,
                                              const ServiceString& password,
                                              const ServiceString& author) {
  norv::contracts::v1::LogOnRequest request;
  if (!projectPath.IsNull()) request.set_project_path(projectPath.ToUtf8());
  if (!user.IsNull()) request.set_user(user.ToUtf8());
  if (!password.IsNull()) request.set_password(password.ToUtf8());
  if (!author.IsNull()) request.set_author(author.ToUtf8());
  return request;
}

namespace v1 = norv::contracts::v1;

namespace {

// A nulls column is empty or has one flag per row.
template <class Column>
void CheckColumn(const Column& column, int rows, const char* list, const char* name) {
  if (column.size() != rows) {
    throw MalformedMessage(std::string("the ") + list + " has " + std::to_string(rows) +
                           " rows but its column '" + name + "' has " +
                           std::to_string(column.size()) + " entries");
  }
}

template <class Column>
void CheckNulls(const Column& nulls, int rows, const char* list, const char* name) {
  if (!nulls.empty()) CheckColumn(nulls, rows, list, name);
}

// Whether a nulls column marks row `i` null.
template <class Column>
bool IsNullRow(const Column& nulls, int i) {
  return !nulls.empty() && nulls.Get(i);
}

// The fields a null date-time row carries.
constexpr DateTime kZero{0, 0, 0, 0, 0, 0, 0};

// Refuses a date-time outside the calendar (year 1 to 9999, a day its month
// has, time fields in range): formatted, it would read as a real date.
// `what` names the value ("the date-time", "the date-time of record 3").
void CheckCalendar(const DateTime& d, const std::string& what) {
  const auto refuse = [&](const char* field, std::int32_t value, const std::string& range) {
    throw MalformedMessage(what + " has " + field + " " + std::to_string(value) + ", outside " +
                           range);
  };
  if (d.year < 1 || d.year > 9999) refuse("year", d.year, "1 to 9999");
  if (d.month < 1 || d.month > 12) refuse("month", d.month, "1 to 12");
  static constexpr std::int32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
  const std::int32_t days = kDays[d.month - 1] + (d.month == 2 && leap ? 1 : 0);
  if (d.day < 1 || d.day > days) {
    refuse("day", d.day,
           "1 to " + std::to_string(days) + " (month " + std::to_string(d.month) + " of " +
               std::to_string(d.year) + ")");
  }
  if (d.hour < 0 || d.hour > 23) refuse("hour", d.hour, "0 to 23");
  if (d.minute < 0 || d.minute > 59) refuse("minute", d.minute, "0 to 59");
  if (d.second < 0 || d.second > 59) refuse("second", d.second, "0 to 59");
  if (d.nanosecond < 0 || d.nanosecond > 999999999) {
    refuse("nanosecond", d.nanosecond, "0 to 999999999");
  }
}

// A list of millions of records is written once into fresh memory, where
// taking the pages one small fault at a time costs more than the copying
// itself (two thirds of a million-record reply went to faults). Asking for
// huge pages over such a block turns thousands of faults into a few. The
// advice is only a hint, and it goes with the mapping when the block is freed.
void AdviseHugePages(const void* data, std::size_t bytes) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (bytes < 4 * kHugePage) return;
  auto begin = reinterpret_cast<std::uintptr_t>(data);
  std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// `rows` uninitialised entries appended to an empty column, for the caller
// to fill in full.
template <class T>
T* Column(google::protobuf::RepeatedField<T>* field, int rows) {
  field->Reserve(rows);
  AdviseHugePages(field->data(), static_cast<std::size_t>(rows) * sizeof(T));
  return field->AddNAlreadyReserved(rows);
}

// An empty vector with room for `rows` entries.
template <class T>
std::vector<T> WithRoomFor(int rows) {
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(rows));
  AdviseHugePages(out.data(), out.capacity() * sizeof(T));
  return out;
}

template <class Records>
bool AnyNull(const Records& values) {
  return std::any_of(values.begin(), values.end(), [](const auto& r) { return !r.has_value(); });
}

}  // namespace

void DateTimeToWire(const DateTime& value, v1::DateTime* out) {
  out->set_year(value.year);
  out->set_month(value.month);
  out->set_day(value.day);
  out->set_hour(value.hour);
  out->set_minute(value.minute);
  out->set_second(value.second);
  out->set_nanosecond(value.nanosecond);
}

DateTime DateTimeFromWire(const v1::DateTime& value) {
  DateTime date{value.year(),   value.month(),  value.day(),       value.hour(),
                value.minute(), value.second(), value.nanosecond()};
  CheckCalendar(date, "the date-time");
  return date;
}

void StringsToWire(const std::vector<ServiceString>& values, v1::StringList* out) {
  out->mutable_values()->Reserve(static_cast<int>(values.size()));
  bool anyNull =
      std::any_of(values.begin(), values.end(), [](const ServiceString& s) { return s.IsNull(); });
  if (anyNull) out->mutable_nulls()->Reserve(static_cast<int>(values.size()));
  for (const ServiceString& s : values) {
    out->add_values(s.ToUtf8());
    if (anyNull) out->add_nulls(s.IsNull());
  }
}

std::vector<ServiceString> StringsFromWire(const v1::StringList& list) {
  int rows = list.values_size();
  CheckNulls(list.nulls(), rows, "string list", "nulls");
  auto out = WithRoomFor<ServiceString>(rows);
  for (int i = 0; i < rows; ++i) {
    out.push_back(IsNullRow(list.nulls(), i) ? ServiceString()
                                             : ServiceString::FromUtf8(list.values(i)));
  }
  return out;
}

void Int32sToWire(const std::vector<std::int32_t>& values, v1::Int32List* out) {
  out->mutable_values()->Add(values.begin(), values.end());
}

std::vector<std::int32_t> Int32sFromWire(const v1::Int32List& list) {
  return std::vector<std::int32_t>(list.values().begin(), list.values().end());
}

void DoubleResultsToWire(const std::vector<std::optional<DoubleResultSet>>& values,
                         v1::DoubleResultSetList* out) {
  int rows = static_cast<int>(values.size());
  std::int32_t* idData = Column(out->mutable_ids(), rows);
  double* valueData = Column(out->mutable_values(), rows);
  for (int i = 0; i < rows; ++i) {
    const auto& record = values[static_cast<std::size_t>(i)];
    idData[i] = record ? record->Id() : 0;
    valueData[i] = record ? record->Value() : 0.0;
  }
  if (AnyNull(values)) {
    out->mutable_nulls()->Resize(rows, false);
    bool* nulls = out->mutable_nulls()->mutable_data();
    for (int i = 0; i < rows; ++i) nulls[i] = !values[static_cast<std::size_t>(i)].has_value();
  }
}

std::vector<std::optional<DoubleResultSet>> DoubleResultsFromWire(
    const v1::DoubleResultSetList& list) {
  int rows = list.ids_size();
  CheckColumn(list.values(), rows, "double record list", "values");
  CheckNulls(list.nulls(), rows, "double record list", "nulls");
  // One pass over the new memory: on a list of a million records the first
  // touch of each page costs as much as the copying.
  auto out = WithRoomFor<std::optional<DoubleResultSet>>(rows);
  const std::int32_t* ids = list.ids().data();
  const double* values = list.values().data();
  if (list.nulls().empty()) {
    for (int i = 0; i < rows; ++i) out.emplace_back(std::in_place, ids[i], values[i]);
  } else {
    for (int i = 0; i < rows; ++i) {
      if (list.nulls(i)) {
        out.emplace_back();
      } else {
        out.emplace_back(std::in_place, ids[i], values[i]);
      }
    }
  }
  return out;
}

void StringResultsToWire(const std::vector<std::optional<StringResultSet>>& values,
                         v1::StringResultSetList* out) {
  int rows = static_cast<int>(values.size());
  bool anyNullRecord = AnyNull(values);
  bool anyNullValue = std::any_of(values.begin(), values.end(), [](const auto& r) {
    return r.has_value() && r->Value().IsNull();
  });
  out->mutable_ids()->Reserve(rows);
  out->mutable_values()->Reserve(rows);
  for (const auto& record : values) {
    out->add_ids(record ? record->Id() : 0);
    out->add_values(record ? record->Value().ToUtf8() : std::string());
    if (anyNullValue) out->add_value_nulls(record && record->Value().IsNull());
    if (anyNullRecord) out->add_nulls(!record.has_value());
  }
}

std::vector<std::optional<StringResultSet>> StringResultsFromWire(
    const v1::StringResultSetList& list) {
  int rows = list.ids_size();
  CheckColumn(list.values(), rows, "string record list", "values");
  CheckNulls(list.value_nulls(), rows, "string record list", "value_nulls");
  CheckNulls(list.nulls(), rows, "string record list", "nulls");
  std::vector<std::optional<StringResultSet>> out(static_cast<std::size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    if (IsNullRow(list.nulls(), i)) continue;
    out[static_cast<std::size_t>(i)].emplace(
        list.ids(i), IsNullRow(list.value_nulls(), i) ? ServiceString()
                                                      : ServiceString::FromUtf8(list.values(i)));
  }
  return out;
}

void DateTimeResultsToWire(const std::vector<std::optional<DateTimeResultSet>>& values,
                           v1::DateTimeResultSetList* out) {
  int rows = static_cast<int>(values.size());
  std::int32_t* ids = Column(out->mutable_ids(), rows);
  std::int32_t* years = Column(out->mutable_years(), rows);
  std::int32_t* months = Column(out->mutable_months(), rows);
  std::int32_t* days = Column(out->mutable_days(), rows);
  std::int32_t* hours = Column(out->mutable_hours(), rows);
  std::int32_t* minutes = Column(out->mutable_minutes(), rows);
  std::int32_t* seconds = Column(out->mutable_seconds(), rows);
  std::int32_t* nanoseconds = Column(out->mutable_nanoseconds(), rows);
  for (int i = 0; i < rows; ++i) {
    const auto& record = values[static_cast<std::size_t>(i)];
    const DateTime& d = record ? record->Value() : kZero;
    ids[i] = record ? record->Id() : 0;
    years[i] = d.year;
    months[i] = d.month;
    days[i] = d.day;
    hours[i] = d.hour;
    minutes[i] = d.minute;
    seconds[i] = d.second;
    nanoseconds[i] = d.nanosecond;
  }
  if (AnyNull(values)) {
    out->mutable_nulls()->Resize(rows, false);
    bool* nulls = out->mutable_nulls()->mutable_data();
    for (int i = 0; i < rows; ++i) nulls[i] = !values[static_cast<std::size_t>(i)].has_value();
  }
}

std::vector<std::optional<DateTimeResultSet>> DateTimeResultsFromWire(
    const v1::DateTimeResultSetList& list) {
  int rows = list.ids_size();
  const char* kList = "date-time record list";
  CheckColumn(list.years(), rows, kList, "years");
  CheckColumn(list.months(), rows, kList, "months");
  CheckColumn(list.days(), rows, kList, "days");
  CheckColumn(list.hours(), rows, kList, "hours");
  CheckColumn(list.minutes(), rows, kList, "minutes");
  CheckColumn(list.seconds(), rows, kList, "seconds");
  CheckColumn(list.nanoseconds(), rows, kList, "nanoseconds");
  CheckNulls(list.nulls(), rows, kList, "nulls");
  auto out = WithRoomFor<std::optional<DateTimeResultSet>>(rows);
  for (int i = 0; i < rows; ++i) {
    if (IsNullRow(list.nulls(), i)) {
      out.emplace_back();
    } else {
      DateTime date{list.years(i),   list.months(i),  list.days(i),       list.hours(i),
                    list.minutes(i), list.seconds(i), list.nanoseconds(i)};
      CheckCalendar(date, "the date-time of record " + std::to_string(i));
      out.emplace_back(std::in_place, list.ids(i), date);
    }
  }
  return out;
}

}  // namespace Norv::ServiceModel::internal
