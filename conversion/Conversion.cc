#include "conversion/Conversion.h"

#include <cstring>
#include <string>

#include "services/Text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Norv::Interop {

ServiceString ToServiceString(const char* p) {
  if (p == nullptr) {
    // No bytes to decode, but a broken code-page setting must fail every
    // conversion alike rather than only those with text.
    Text::AnsiCodePage();
    return ServiceString(std::u16string());
  }
  return ServiceString(Text::DecodeAnsi(std::string_view(p, std::strlen(p))));
}

std::string NativeString(const ServiceString& managedString) {
  std::string result;
  if (managedString.IsNull()) return result;
  const std::u16string& units = managedString.Units();
  const std::size_t n = units.size();
  // One pass: narrow while looking for U+0000, then cut there.
  result.resize(n);
  const char16_t* in = units.data();
  char* out = result.data();
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i lowByte = _mm_set1_epi16(0x00FF);
  for (; i + 16 <= n; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
    __m128i nul = _mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    if (_mm_movemask_epi8(nul) != 0) break;  // the scalar loop finds it
    // Masked to the low byte first: the pack saturates, it does not truncate.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packus_epi16(_mm_and_si128(a, lowByte), _mm_and_si128(b, lowByte)));
  }
#endif
  for (; i < n && in[i] != u'\0'; ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(in[i] & 0xFF));
  }
  result.resize(i);
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
