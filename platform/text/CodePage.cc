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

#include "platform/text/TextInternal.h"
#include "services/Text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Norv::Text {
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

void Configure(CodePageState& state) {
  std::string origin;
  if (auto set = internal::FirstSetVariable({"NORV_ANSI_CODEPAGE"})) {
    state.codePage = internal::ParseCodePage(set->second);
    if (state.codePage == 0) {
      state.error = "NORV_ANSI_CODEPAGE='" + set->second +
                    "' names no supported ANSI code page (1250 to 1258, 874, 932, 936, 949, 950 "
                    "or 65001)";
      return;
    }
    origin = "NORV_ANSI_CODEPAGE";
  } else if (auto locale = internal::FirstSetVariable({"LC_ALL", "LC_CTYPE", "LANG"})) {
    state.codePage = internal::CodePageForLocale(locale->second);
    origin = locale->first + "='" + locale->second + "'";
  } else {
    state.codePage = 1252;
    origin = "the default";
  }
  if (state.codePage == 65001) return;

  // The Windows tables by their Windows names: ICU's cp874/cp949/cp950
  // aliases open IBM tables that differ from Windows.
  state.converterName = "windows-" + std::to_string(state.codePage);
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr converter = OpenConverter(state.converterName, &status);
  if (!converter) {
    state.error = "ICU cannot open the converter " + state.converterName + " for code page " +
                  std::to_string(state.codePage) + " (from " + origin + "): " + u_errorName(status);
    return;
  }
  if (ucnv_getMaxCharSize(converter.get()) == 1) {
    state.singleByte = BuildTable(state, converter.get());
  }
  // The SIMD path of the table assumes ASCII decodes to itself.
  if (state.asciiIdentityBelow < 0x80) state.singleByte = false;
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

void DecodeTable(const CodePageState& state, const unsigned char* in, std::size_t n,
                 char16_t* out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i minusOne = _mm_set1_epi8(-1);
  const __m128i c1Width = _mm_set1_epi8(0x20);
  for (; i + 16 <= n; i += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    int special;
    if (state.latin1High) {
      // Only 0x80..0x9F differ from Latin-1: shifted by 0x80 they are 0..0x1F.
      __m128i shifted = _mm_add_epi8(bytes, bias);
      special = _mm_movemask_epi8(
          _mm_and_si128(_mm_cmpgt_epi8(shifted, minusOne), _mm_cmplt_epi8(shifted, c1Width)));
    } else {
      special = _mm_movemask_epi8(bytes);  // any byte >= 0x80
    }
    if (special == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
    } else {
      for (std::size_t k = i; k < i + 16; ++k) out[k] = state.table[in[k]];
    }
  }
#endif
  for (; i < n; ++i) out[i] = state.table[in[i]];
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

UConverter* ThreadConverter(const std::string& name) {
  thread_local ConverterPtr converter;
  thread_local std::string openName;
  if (!converter || openName != name) {
    UErrorCode status = U_ZERO_ERROR;
    // The converter opened fine at configuration time, so only memory runs out.
    converter = OpenConverter(name, &status);
    if (!converter) throw std::bad_alloc();
    openName = name;
  }
  return converter.get();
}

std::u16string DecodeUtf8(std::string_view bytes) {
  if (bytes.size() >= static_cast<std::size_t>(INT32_MAX)) {
    return DecodeWithConverter(ThreadConverter("UTF-8"), bytes);
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

}  // namespace

int AnsiCodePage() { return CheckedState().codePage; }

std::u16string DecodeAnsi(std::string_view bytes) {
  const CodePageState& state = CheckedState();
  if (bytes.empty()) return std::u16string();
  if (state.singleByte) {
    std::u16string out(bytes.size(), u'\0');
    DecodeTable(state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                out.data());
    return out;
  }
  if (state.codePage == 65001) return DecodeUtf8(bytes);
  return DecodeWithConverter(ThreadConverter(state.converterName), bytes);
}

}  // namespace Norv::Text
