#include "conversion/Conversion.h"

#include <cstring>
#include <string>

#include "services/Text.h"

namespace Norv::Interop {

ServiceString ToServiceString(const char* p) {
  if (p == nullptr) return ServiceString(std::u16string());
  return ServiceString(Text::DecodeAnsi(std::string_view(p, std::strlen(p))));
}

std::string NativeString(const ServiceString& managedString) {
  std::string result;
  if (managedString.IsNull()) return result;
  const std::u16string& units = managedString.Units();
  std::size_t length = units.find(u'\0');
  if (length == std::u16string::npos) length = units.size();
  result.resize(length);
  for (std::size_t i = 0; i < length; ++i) {
    result[i] = static_cast<char>(static_cast<unsigned char>(units[i] & 0xFF));
  }
  return result;
}

ServiceString FormatShortDate(const DateTime& d) { return ServiceString(Text::FormatShortDate(d)); }

namespace internal {

void ThrowNullCollection(std::string_view operation) {
  throw std::invalid_argument(std::string(operation) +
                              " answered a null collection, which has no native form");
}

void ThrowNullRecord(std::string_view operation, std::size_t index) {
  throw std::invalid_argument(std::string(operation) + " answered a null record at position " +
                              std::to_string(index) + ", which has no native form");
}

}  // namespace internal

}  // namespace Norv::Interop

namespace Norv::MirnDataService::Interop {

using ServiceModel::Contracts::Data::DoubleResultSet;
using ServiceModel::Contracts::Data::StringResultSet;

std::vector<NativeDoubleKeyValuePair> ConvertToNativeDoubleKeyValuePair(
    const ServiceModel::Contracts::Data::DoubleResultSetCollection& managedDoubleResultSet,
    std::string_view operation) {
  return Norv::Interop::ConvertList<NativeDoubleKeyValuePair>(
      managedDoubleResultSet, operation,
      [operation](const std::optional<DoubleResultSet>& record, std::size_t i) {
        const DoubleResultSet& r = Norv::Interop::RecordAt(record, operation, i);
        return NativeDoubleKeyValuePair{r.Id(), r.Value()};
      });
}

std::vector<NativeStringKeyValuePair> ConvertToNativeStringKeyValuePair(
    const ServiceModel::Contracts::Data::StringResultSetCollection& managedStringResultSet,
    std::string_view operation) {
  return Norv::Interop::ConvertList<NativeStringKeyValuePair>(
      managedStringResultSet, operation,
      [operation](const std::optional<StringResultSet>& record, std::size_t i) {
        const StringResultSet& r = Norv::Interop::RecordAt(record, operation, i);
        return NativeStringKeyValuePair{r.Id(), Norv::Interop::NativeString(r.Value())};
      });
}

}  // namespace Norv::MirnDataService::Interop
