// The conversion rules that every bridge shares: native strings into service
// strings through the process's ANSI code page, service strings back by
// keeping the low byte of each code unit, dates as short-date text, and
// service collections into vectors in their own order.
//
// Pure functions; safe from any thread. The string rules raise for no input
// value; the list rule raises for a null collection or a null record.
#ifndef NORV_CONVERSION_CONVERSION_H_
#define NORV_CONVERSION_CONVERSION_H_

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/SimdLevel.h"
#include "norv/interop/NativeKeyValuePairs.h"
#include "services/Collection.h"
#include "services/DateTime.h"
#include "services/ResultSets.h"
#include "services/ServiceString.h"

namespace Norv::Interop {

// Null gives the empty (not null) string; bytes up to the first zero byte are
// decoded with the process's ANSI code page.
ServiceString ToServiceString(const char* p);

// Null and empty give ""; the code units up to the first U+0000 each become
// one byte, their low 8 bits.
std::string NativeString(const ServiceString& managedString);

// The calling thread's culture's short date of `d`.
ServiceString FormatShortDate(const DateTime& d);

// NativeString(FormatShortDate(d)), without the strings in between: a list
// of a million dates would otherwise allocate two million times.
std::string NativeShortDate(const DateTime& d);

namespace internal {
// NativeString's narrowing loop of one instruction set, for tests: writes
// the low bytes of `units` up to the first U+0000 into `out` and returns
// their count; nullopt when the processor lacks the set.
std::optional<std::size_t> NarrowUnitsWith(Base::SimdLevel level, const char16_t* units,
                                           std::size_t n, char* out);
[[noreturn]] void ThrowNullCollection(std::string_view operation);
[[noreturn]] void ThrowNullRecord(std::string_view operation, std::size_t index);
}  // namespace internal

// The list rule: a vector of as many elements as the collection counts,
// element i being convert(element i). A null collection raises
// std::invalid_argument naming `operation`, and no partial vector escapes.
template <class Native, class T, class Convert>
std::vector<Native> ConvertList(const Collection<T>& collection, std::string_view operation,
                                Convert convert) {
  if (!collection) internal::ThrowNullCollection(operation);
  std::vector<Native> result(collection->size());
  std::size_t i = 0;
  for (const T& element : *collection) {
    result[i] = convert(element, i);
    ++i;
  }
  return result;
}

// The record of a record collection; a null record raises like a null
// collection.
template <class Record>
const Record& RecordAt(const std::optional<Record>& record, std::string_view operation,
                       std::size_t index) {
  if (!record) internal::ThrowNullRecord(operation, index);
  return *record;
}

}  // namespace Norv::Interop

namespace Norv::MirnDataService::Interop {

std::vector<NativeDoubleKeyValuePair> ConvertToNativeDoubleKeyValuePair(
    const ServiceModel::Contracts::Data::DoubleResultSetCollection& managedDoubleResultSet,
    std::string_view operation);
std::vector<NativeStringKeyValuePair> ConvertToNativeStringKeyValuePair(
    const ServiceModel::Contracts::Data::StringResultSetCollection& managedStringResultSet,
    std::string_view operation);

}  // namespace Norv::MirnDataService::Interop

#endif  // NORV_CONVERSION_CONVERSION_H_
