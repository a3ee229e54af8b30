// The process's ANSI code page and decoding in it.
//
// The page is chosen once per process. Single-byte pages decode through a
// 256-entry table built once from ICU's Windows tables; UTF-8 through ICU's
// UTF-8 decoder; the double-byte pages through one ICU converter per thread
// (a UConverter keeps state and is not thread-safe). A configuration error is
// kept and raised again by every call, so that no call ever silently falls
// back to another page.
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "base/ThreadCache.h"
#include "platform/text/TextInternal.h"
#include "services/Text.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Norv::Text {

using Base::SimdLevel;

namespace {

struct CodePageState {
  int codePage = 0;
  std::string error;          // non-empty: every call raises this
  std::string converterName;  // "windows-1252"
  bool singleByte = false;
  char16_t table[256] = {};
  // Bytes below this decode to themselves (0x80 for every supported page).
  unsigned asciiIdentityBelow = 0;
  // True when 0xA0..0xFF also decode to themselves (1252), so that only
  // 0x80..0x9F need the table.
  bool latin1High = false;
  // The table decoder chosen for this page and this processor.
  void (*decodeTable)(const CodePageState&, const unsigned char*, std::size_t, char16_t*) = nullptr;
};

// Writes U+FFFD for whatever ICU finds invalid or unassigned; ICU's own
// substitution would write U+001A for a single bad byte of some pages.
void SubstituteReplacementCharacter(const void*, UConverterToUnicodeArgs* args, const char*,
                                    int32_t, UConverterCallbackReason reason, UErrorCode* status) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone
  static const UChar kReplacement = 0xFFFD;
  *status = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, status);
}

struct ConverterCloser {
  void operator()(UConverter* converter) const noexcept { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

ConverterPtr OpenConverter(const std::string& name, UErrorCode* status) {
  ConverterPtr converter(ucnv_open(name.c_str(), status));
  if (U_FAILURE(*status)) return nullptr;
  ucnv_setToUCallBack(converter.get(), SubstituteReplacementCharacter, nullptr, nullptr, nullptr,
                      status);
  if (U_FAILURE(*status)) return nullptr;
  return converter;
}

// Builds the byte table of a single-byte page: a byte the page leaves
// undefined becomes U+FFFD. False when a byte needs more than one code unit
// (then the converter is used).
bool BuildTable(CodePageState& state, UConverter* converter) {
  UErrorCode status = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  for (int b = 0; b < 256; ++b) {
    char byte = static_cast<char>(b);
    UChar units[4];
    status = U_ZERO_ERROR;
    int32_t length = ucnv_toUChars(converter, units, 4, &byte, 1, &status);
    if (U_SUCCESS(status) && length > 1) return false;
    state.table[b] = U_SUCCESS(status) && length == 1 ? units[0] : 0xFFFD;
  }
  unsigned identity = 0;
  while (identity < 256 && state.table[identity] == identity) ++identity;
  state.asciiIdentityBelow = identity;
  state.latin1High = identity >= 0x80;
  for (unsigned b = 0xA0; b < 256 && state.latin1High; ++b) {
    if (state.table[b] != b) state.latin1High = false;
  }
  return true;
}

using TableDecoder = void (*)(const CodePageState&, const unsigned char*, std::size_t, char16_t*);

void DecodeTableScalar(const CodePageState& state, const unsigned char* in, std::size_t n,
                       char16_t* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = state.table[in[i]];
}

#if defined(__x86_64__)
// Sixteen bytes at a time: widen them all, then patch the few the table
// changes (0x80..0x9F for 1252, every byte above 0x7F for the others).
void DecodeTableSse2(const CodePageState& state, const unsigned char* in, std::size_t n,
                     char16_t* out) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i minusOne = _mm_set1_epi8(-1);
  const __m128i c1Width = _mm_set1_epi8(0x20);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    int special;
    if (state.latin1High) {
      // Shifted by 0x80, the bytes 0x80..0x9F are 0..0x1F.
      const __m128i shifted = _mm_add_epi8(bytes, bias);
      special = _mm_movemask_epi8(
          _mm_and_si128(_mm_cmpgt_epi8(shifted, minusOne), _mm_cmplt_epi8(shifted, c1Width)));
    } else {
      special = _mm_movemask_epi8(bytes);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
    while (special != 0) {
      const int k = __builtin_ctz(static_cast<unsigned>(special));
      out[i + k] = state.table[in[i + k]];
      special &= special - 1;
    }
  }
  DecodeTableScalar(state, in + i, n - i, out + i);
}

// 1252 with AVX2: 0x80..0x9F are looked up sixteen at a time with byte
// shuffles (low and high byte of the code unit, one table per half-row) and
// blended into the widened bytes, with no branch per byte.
__attribute__((target("avx2"))) void DecodeC1TableAvx2(const CodePageState& state,
                                                       const unsigned char* in, std::size_t n,
                                                       char16_t* out) {
  alignas(16) unsigned char low0[16], high0[16], low1[16], high1[16];
  for (int k = 0; k < 16; ++k) {
    low0[k] = static_cast<unsigned char>(state.table[0x80 + k] & 0xFF);
    high0[k] = static_cast<unsigned char>(state.table[0x80 + k] >> 8);
    low1[k] = static_cast<unsigned char>(state.table[0x90 + k] & 0xFF);
    high1[k] = static_cast<unsigned char>(state.table[0x90 + k] >> 8);
  }
  const __m128i lowRow0 = _mm_load_si128(reinterpret_cast<const __m128i*>(low0));
  const __m128i highRow0 = _mm_load_si128(reinterpret_cast<const __m128i*>(high0));
  const __m128i lowRow1 = _mm_load_si128(reinterpret_cast<const __m128i*>(low1));
  const __m128i highRow1 = _mm_load_si128(reinterpret_cast<const __m128i*>(high1));
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i minusOne = _mm_set1_epi8(-1);
  const __m128i c1Width = _mm_set1_epi8(0x20);
  const __m128i rowBit = _mm_set1_epi8(0x10);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i shifted = _mm_add_epi8(bytes, bias);
    const __m128i special =
        _mm_and_si128(_mm_cmpgt_epi8(shifted, minusOne), _mm_cmplt_epi8(shifted, c1Width));
    __m256i units = _mm256_cvtepu8_epi16(bytes);
    if (_mm_movemask_epi8(special) != 0) {
      const __m128i index = _mm_and_si128(bytes, nibble);
      const __m128i secondRow = _mm_cmpeq_epi8(_mm_and_si128(bytes, rowBit), rowBit);
      const __m128i low = _mm_blendv_epi8(_mm_shuffle_epi8(lowRow0, index),
                                          _mm_shuffle_epi8(lowRow1, index), secondRow);
      const __m128i high = _mm_blendv_epi8(_mm_shuffle_epi8(highRow0, index),
                                           _mm_shuffle_epi8(highRow1, index), secondRow);
      const __m256i mapped =
          _mm256_set_m128i(_mm_unpackhi_epi8(low, high), _mm_unpacklo_epi8(low, high));
      units = _mm256_blendv_epi8(units, mapped, _mm256_cvtepi8_epi16(special));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), units);
  }
  DecodeTableScalar(state, in + i, n - i, out + i);
}

// Any single-byte page with AVX-512BW: 32 bytes widened at once, the bytes
// above 0x7F looked up in the 128-entry upper half of the table held in four
// registers (two 64-entry word permutes and a blend).
__attribute__((target("avx512f,avx512bw"))) void DecodeTableAvx512(const CodePageState& state,
                                                                   const unsigned char* in,
                                                                   std::size_t n, char16_t* out) {
  const __m512i upper0 = _mm512_loadu_si512(state.table + 0x80);
  const __m512i upper1 = _mm512_loadu_si512(state.table + 0xA0);
  const __m512i upper2 = _mm512_loadu_si512(state.table + 0xC0);
  const __m512i upper3 = _mm512_loadu_si512(state.table + 0xE0);
  const __m512i high = _mm512_set1_epi16(0x80);
  const __m512i quarterBit = _mm512_set1_epi16(0x40);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m512i units =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
    const __mmask32 above = _mm512_cmpge_epu16_mask(units, high);
    const __mmask32 secondHalf = _mm512_test_epi16_mask(units, quarterBit);
    // permutex2var picks by the low six bits among 64 entries of two tables.
    const __m512i first = _mm512_permutex2var_epi16(upper0, units, upper1);
    const __m512i second = _mm512_permutex2var_epi16(upper2, units, upper3);
    const __m512i mapped = _mm512_mask_blend_epi16(secondHalf, first, second);
    _mm512_storeu_si512(out + i, _mm512_mask_blend_epi16(above, units, mapped));
  }
  DecodeTableScalar(state, in + i, n - i, out + i);
}
#endif

// The fastest table decoder for the page on this processor, up to `limit`.
TableDecoder BestTableDecoder(const CodePageState& state, SimdLevel limit) {
#if defined(__x86_64__)
  const SimdLevel level = Base::ProcessorSimdLevel(limit);
  if (level >= SimdLevel::kAvx512) return DecodeTableAvx512;
  if (level >= SimdLevel::kAvx2 && state.latin1High) return DecodeC1TableAvx2;
  if (level >= SimdLevel::kSse2) return DecodeTableSse2;
#endif
  return DecodeTableScalar;
}

// Loads `codePage` into `state`: the converter name and, for a single-byte
// page, its table. Sets state.error when ICU cannot open it.
void LoadPage(CodePageState& state, int codePage, const std::string& origin) {
  state.codePage = codePage;
  if (codePage == 65001) return;
  // The Windows tables by their Windows names: ICU's cp874/cp949/cp950
  // aliases open IBM tables that differ from Windows.
  state.converterName = "windows-" + std::to_string(codePage);
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr converter = OpenConverter(state.converterName, &status);
  if (!converter) {
    state.error = "ICU cannot open the converter " + state.converterName + " for code page " +
                  std::to_string(codePage) + " (from " + origin + "): " + u_errorName(status);
    return;
  }
  if (ucnv_getMaxCharSize(converter.get()) == 1) {
    state.singleByte = BuildTable(state, converter.get());
  }
  // The vector paths of the table assume ASCII decodes to itself.
  if (state.asciiIdentityBelow < 0x80) state.singleByte = false;
}

void Configure(CodePageState& state) {
  std::string origin;
  int codePage = 1252;
  if (auto set = internal::FirstSetVariable({"NORV_ANSI_CODEPAGE"})) {
    codePage = internal::ParseCodePage(set->second);
    if (codePage == 0) {
      state.error = "NORV_ANSI_CODEPAGE='" + set->second +
                    "' names no supported ANSI code page (1250 to 1258, 874, 932, 936, 949, 950 "
                    "or 65001)";
      return;
    }
    origin = "NORV_ANSI_CODEPAGE";
  } else if (auto locale = internal::FirstSetVariable({"LC_ALL", "LC_CTYPE", "LANG"})) {
    codePage = internal::CodePageForLocale(locale->second);
    origin = locale->first + "='" + locale->second + "'";
  } else {
    origin = "the default";
  }
  LoadPage(state, codePage, origin);
  if (state.singleByte) state.decodeTable = BestTableDecoder(state, SimdLevel::kAvx512);
}

const CodePageState& State() {
  static std::once_flag once;
  static CodePageState* state = nullptr;  // never destroyed: usable until exit
  std::call_once(once, [] {
    auto* fresh = new CodePageState();
    Configure(*fresh);
    state = fresh;
  });
  return *state;
}

const CodePageState& CheckedState() {
  const CodePageState& state = State();
  if (!state.error.empty()) throw TextConfigurationError(state.error);
  return state;
}

// Decodes through a converter with the streaming interface, which takes any
// length. A supported page gives at most one code unit per byte except for
// characters beyond the BMP, so the buffer rarely grows.
std::u16string DecodeWithConverter(UConverter* converter, std::string_view bytes) {
  ucnv_resetToUnicode(converter);
  std::u16string out(bytes.size() + 2, u'\0');
  const char* source = bytes.data();
  const char* sourceLimit = bytes.data() + bytes.size();
  std::size_t written = 0;
  for (;;) {
    UChar* target = out.data() + written;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_toUnicode(converter, &target, out.data() + out.size(), &source, sourceLimit, nullptr,
                   /*flush=*/true, &status);
    written = static_cast<std::size_t>(target - out.data());
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(out.size() + out.size() / 2 + 16);
      continue;
    }
    if (U_FAILURE(status)) throw std::bad_alloc();  // only memory can run out here
    break;
  }
  out.resize(written);
  return out;
}

// Each thread's converter, kept open between calls.
struct ThreadConverterCache {
  ConverterPtr converter;
  std::string openName;
};

// Runs fn(converter) with this thread's converter for `name`.
template <class Fn>
auto WithThreadConverter(const std::string& name, Fn&& fn) {
  return Base::ThreadCache<ThreadConverterCache>::Use([&](ThreadConverterCache& cache) {
    if (!cache.converter || cache.openName != name) {
      UErrorCode status = U_ZERO_ERROR;
      // The converter opened fine at configuration time, so only memory runs out.
      cache.converter = OpenConverter(name, &status);
      if (!cache.converter) throw std::bad_alloc();
      cache.openName = name;
    }
    return fn(cache.converter.get());
  });
}

std::u16string DecodeUtf8(std::string_view bytes) {
  if (bytes.size() >= static_cast<std::size_t>(INT32_MAX)) {
    return WithThreadConverter(
        "UTF-8", [&](UConverter* converter) { return DecodeWithConverter(converter, bytes); });
  }
  // UTF-16 never needs more code units than UTF-8 has bytes.
  std::u16string out(bytes.size(), u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, bytes.data(),
                       static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) throw std::bad_alloc();
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// Encodes through a converter that stops at the first character it cannot
// map, instead of writing the page's substitute byte.
std::optional<std::string> EncodeWithConverter(UConverter* converter, std::u16string_view units) {
  UErrorCode status = U_ZERO_ERROR;
  ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  ucnv_resetFromUnicode(converter);
  std::string out(units.size() * static_cast<std::size_t>(ucnv_getMaxCharSize(converter)) + 8,
                  '\0');
  const UChar* source = units.data();
  char* target = out.data();
  status = U_ZERO_ERROR;
  ucnv_fromUnicode(converter, &target, out.data() + out.size(), &source,
                   units.data() + units.size(), nullptr, /*flush=*/true, &status);
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<std::size_t>(target - out.data()));
  return out;
}

}  // namespace

namespace internal {

std::optional<std::u16string> DecodeSingleByteWith(int codePage, SimdLevel isa,
                                                   std::string_view bytes) {
  CodePageState state;
  LoadPage(state, codePage, "a test");
  if (!state.error.empty() || !state.singleByte) return std::nullopt;
  TableDecoder decoder = BestTableDecoder(state, isa);
  if (isa != SimdLevel::kScalar && decoder == DecodeTableScalar) return std::nullopt;
  std::u16string out(bytes.size(), u'\0');
  decoder(state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
  return out;
}

}  // namespace internal

int AnsiCodePage() { return CheckedState().codePage; }

std::u16string DecodeAnsi(std::string_view bytes) {
  const CodePageState& state = CheckedState();
  if (bytes.empty()) return std::u16string();
  if (state.singleByte) {
    std::u16string out(bytes.size(), u'\0');
    state.decodeTable(state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      out.data());
    return out;
  }
  if (state.codePage == 65001) return DecodeUtf8(bytes);
  return WithThreadConverter(state.converterName, [&](UConverter* converter) {
    return DecodeWithConverter(converter, bytes);
  });
}

std::optional<std::string> EncodeAnsi(std::u16string_view units) {
  const CodePageState& state = CheckedState();
  if (units.empty()) return std::string();
  return WithThreadConverter(
      state.codePage == 65001 ? std::string("UTF-8") : state.converterName,
      [&](UConverter* converter) { return EncodeWithConverter(converter, units); });
}

}  // namespace Norv::Text
