#include "conversion/Conversion.h"

#include <cstring>
#include <string>

#include "base/SimdLevel.h"
#include "base/ThreadCache.h"
#include "services/Text.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Norv::Interop {

using Base::ProcessorSimdLevel;
using Base::SimdLevel;

ServiceString ToServiceString(const char* p) {
  if (p == nullptr) {
    // No bytes to decode, but a broken code-page setting must fail every
    // conversion alike rather than only those with text.
    Text::AnsiCodePage();
    return ServiceString(std::u16string());
  }
  return ServiceString(Text::DecodeAnsi(std::string_view(p, std::strlen(p))));
}

namespace internal {
namespace {

std::size_t NarrowScalar(const char16_t* in, std::size_t n, char* out) {
  std::size_t i = 0;
  for (; i < n && in[i] != u'\0'; ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(in[i] & 0xFF));
  }
  return i;
}

#if defined(__x86_64__)
std::size_t NarrowSse2(const char16_t* in, std::size_t n, char* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i lowByte = _mm_set1_epi16(0x00FF);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
    const __m128i nul = _mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    if (_mm_movemask_epi8(nul) != 0) break;  // the scalar loop finds it
    // Masked to the low byte first: the pack saturates, it does not truncate.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packus_epi16(_mm_and_si128(a, lowByte), _mm_and_si128(b, lowByte)));
  }
  return i + NarrowScalar(in + i, n - i, out + i);
}

__attribute__((target("avx2"))) std::size_t NarrowAvx2(const char16_t* in, std::size_t n,
                                                       char* out) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i lowByte = _mm256_set1_epi16(0x00FF);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 16));
    const __m256i nul = _mm256_or_si256(_mm256_cmpeq_epi16(a, zero), _mm256_cmpeq_epi16(b, zero));
    if (!_mm256_testz_si256(nul, nul)) break;
    // The pack works per 128-bit lane; the permute puts the lanes in order.
    const __m256i packed =
        _mm256_packus_epi16(_mm256_and_si256(a, lowByte), _mm256_and_si256(b, lowByte));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        _mm256_permute4x64_epi64(packed, 0xD8));
  }
  return i + NarrowScalar(in + i, n - i, out + i);
}

__attribute__((target("avx512f,avx512bw"))) std::size_t NarrowAvx512(const char16_t* in,
                                                                     std::size_t n, char* out) {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m512i units = _mm512_loadu_si512(in + i);
    if (_mm512_test_epi16_mask(units, units) != 0xFFFFFFFFu) break;  // a U+0000 among them
    // vpmovwb truncates each unit to its low byte.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        _mm512_maskz_cvtepi16_epi8(0xFFFFFFFFu, units));
  }
  return i + NarrowScalar(in + i, n - i, out + i);
}
#endif

using Narrower = std::size_t (*)(const char16_t*, std::size_t, char*);

Narrower NarrowerFor(SimdLevel limit) {
  switch (ProcessorSimdLevel(limit)) {
#if defined(__x86_64__)
    case SimdLevel::kAvx512:
      return NarrowAvx512;
    case SimdLevel::kAvx2:
      return NarrowAvx2;
    case SimdLevel::kSse2:
      return NarrowSse2;
#endif
    default:
      return NarrowScalar;
  }
}

}  // namespace

std::optional<std::size_t> NarrowUnitsWith(SimdLevel level, const char16_t* units, std::size_t n,
                                           char* out) {
  if (ProcessorSimdLevel(level) != level) return std::nullopt;
  return NarrowerFor(level)(units, n, out);
}

}  // namespace internal

namespace {

// The low bytes of `units` up to the first U+0000, by the best loop the
// processor has: one pass, narrowing while looking for U+0000.
std::size_t Narrow(const char16_t* units, std::size_t n, char* out) {
  static const internal::Narrower narrow = internal::NarrowerFor(SimdLevel::kAvx512);
  return narrow(units, n, out);
}

}  // namespace

std::string NativeString(const ServiceString& managedString) {
  std::string result;
  if (managedString.IsNull()) return result;
  const std::u16string& units = managedString.Units();
  result.resize(units.size());
  result.resize(Narrow(units.data(), units.size(), result.data()));
  return result;
}

ServiceString FormatShortDate(const DateTime& d) { return ServiceString(Text::FormatShortDate(d)); }

namespace {

// Where NativeShortDate formats, kept per thread so that a list of dates
// allocates no text of its own.
struct ShortDateScratch {
  std::u16string units;
};

}  // namespace

std::string NativeShortDate(const DateTime& d) {
  return Base::ThreadCache<ShortDateScratch>::Use([&](ShortDateScratch& scratch) {
    Text::FormatShortDate(d, &scratch.units);
    std::string result(scratch.units.size(), '\0');
    result.resize(Narrow(scratch.units.data(), scratch.units.size(), result.data()));
    return result;
  });
}

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
