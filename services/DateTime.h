// DateTime: a civil date and time of day with no time zone. 7 March 2011
// 23:59 is 7 March wherever it is read. A plain value type; nothing here
// raises.
#ifndef NORV_SERVICES_DATE_TIME_H_
#define NORV_SERVICES_DATE_TIME_H_

#include <cstdint>

namespace Norv {

struct DateTime {
  std::int32_t year = 1;   // proleptic Gregorian, 1 to 9999
  std::int32_t month = 1;  // 1 to 12
  std::int32_t day = 1;    // 1 to 31
  std::int32_t hour = 0;
  std::int32_t minute = 0;
  std::int32_t second = 0;
  std::int32_t nanosecond = 0;

  friend bool operator==(const DateTime& a, const DateTime& b) noexcept {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second && a.nanosecond == b.nanosecond;
  }
  friend bool operator!=(const DateTime& a, const DateTime& b) noexcept { return !(a == b); }
};

}  // namespace Norv

#endif  // NORV_SERVICES_DATE_TIME_H_
