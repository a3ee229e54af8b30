// Conversion between the service values of services/ and the wire messages
// of proto/: strings (UTF-16 <-> UTF-8, null <-> absent), civil date-times,
// and collections as packed parallel columns.
//
// Decoders check that the columns agree and raise MalformedMessage when they
// do not, so that a peer's garbage never turns into out-of-range reads.
//
// Thread-safety: free functions without shared state.
#ifndef NORV_PLATFORM_PIPES_WIRE_VALUES_H_
#define NORV_PLATFORM_PIPES_WIRE_VALUES_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "norv/contracts/v1/types.pb.h"
#include "services/Collection.h"
#include "services/DateTime.h"
#include "services/ResultSets.h"
#include "services/ServiceString.h"

namespace Norv::ServiceModel::internal {

// A message whose content contradicts the wire contract.
class MalformedMessage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline ServiceString StringFromWire(bool present, const std::string& utf8) {
  return present ? ServiceString::FromUtf8(utf8) : ServiceString();
}

// The request of LogOn, which the data service and the launcher share; a
// null string stays absent.
norv::contracts::v1::LogOnRequest LogOnToWire(const ServiceString& projectPath,
                                              const ServiceString& user,
                                              const ServiceString& password,
                                              const ServiceString& author);

void DateTimeToWire(const DateTime& value, norv::contracts::v1::DateTime* out);
// Raises MalformedMessage naming the field for a date-time outside the
// calendar (year 1 to 9999, a day of its month, time fields in range).
DateTime DateTimeFromWire(const norv::contracts::v1::DateTime& value);

// Each encoder fills `out` for a non-null collection; the caller leaves the
// field absent for a null one.
void StringsToWire(const std::vector<ServiceString>& values, norv::contracts::v1::StringList* out);
std::vector<ServiceString> StringsFromWire(const norv::contracts::v1::StringList& list);

void Int32sToWire(const std::vector<std::int32_t>& values, norv::contracts::v1::Int32List* out);
std::vector<std::int32_t> Int32sFromWire(const norv::contracts::v1::Int32List& list);

using Contracts::Data::DateTimeResultSet;
using Contracts::Data::DoubleResultSet;
using Contracts::Data::StringResultSet;

void DoubleResultsToWire(const std::vector<std::optional<DoubleResultSet>>& values,
                         norv::contracts::v1::DoubleResultSetList* out);
std::vector<std::optional<DoubleResultSet>> DoubleResultsFromWire(
    const norv::contracts::v1::DoubleResultSetList& list);

void StringResultsToWire(const std::vector<std::optional<StringResultSet>>& values,
                         norv::contracts::v1::StringResultSetList* out);
std::vector<std::optional<StringResultSet>> StringResultsFromWire(
    const norv::contracts::v1::StringResultSetList& list);

void DateTimeResultsToWire(const std::vector<std::optional<DateTimeResultSet>>& values,
                           norv::contracts::v1::DateTimeResultSetList* out);
// Refuses the whole list, as DateTimeFromWire does, for any record's date.
std::vector<std::optional<DateTimeResultSet>> DateTimeResultsFromWire(
    const norv::contracts::v1::DateTimeResultSetList& list);

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_WIRE_VALUES_H_
