// The string conversions on arbitrary bytes.
//
// The process's ANSI code page is fixed once per process, so fuzz/run.sh runs
// this target once per page with NORV_ANSI_CODEPAGE set; each input goes
// through ToServiceString in that page. Each input is also decoded with every
// table decoder of one single-byte page (chosen by the first byte) and held
// against the scalar decoder, narrowed by every NativeString loop and held
// against the scalar loop, and sent through the UTF-8 round trip of the
// service strings.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "conversion/Conversion.h"
#include "fuzz/FuzzSupport.h"
#include "platform/text/TextInternal.h"
#include "services/ServiceString.h"
#include "services/Text.h"

namespace {

using Norv::ServiceString;
using Norv::Base::SimdLevel;
using Norv::Fuzz::Check;
using Norv::Fuzz::IsWellFormedUtf16;
namespace text = Norv::Text::internal;

constexpr int kSingleBytePages[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};

// The process page through the bridges' conversion of a C string.
void CheckAnsi(std::string_view bytes) {
  const std::string cString(bytes.substr(0, bytes.find('\0')));
  const ServiceString converted = Norv::Interop::ToServiceString(cString.c_str());
  const std::u16string& units = converted.Units();
  Check(!converted.IsNull(), "ToServiceString answered null for a string");
  Check(IsWellFormedUtf16(units), "the ANSI decoder produced a lone surrogate");
  Check(units.find(u'\0') == std::u16string::npos, "the ANSI decoder produced U+0000");
  static const int page = Norv::Text::AnsiCodePage();
  static const bool singleByte =
      text::DecodeSingleByteWith(page, SimdLevel::kScalar, "").has_value();
  if (page == 65001) {
    Check(converted == ServiceString::FromUtf8(cString),
          "code page 65001 and the service strings decode UTF-8 differently");
  } else if (singleByte) {
    Check(units.size() == cString.size(), "a single-byte page did not give one unit per byte");
  }
  const bool ascii = std::all_of(cString.begin(), cString.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii && (page == 65001 || singleByte)) {
    Check(units == std::u16string(cString.begin(), cString.end()),
          "ASCII did not decode to itself");
  }
  Check(Norv::Interop::ToServiceString(nullptr) == ServiceString(u""),
        "ToServiceString(nullptr) is not the empty string");
}

// Every table decoder of one single-byte page against the scalar one.
void CheckSingleByteDecoders(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const int page = kSingleBytePages[data[0] % std::size(kSingleBytePages)];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::optional<std::u16string> scalar =
      text::DecodeSingleByteWith(page, SimdLevel::kScalar, bytes);
  Check(scalar.has_value(), "a single-byte page has no scalar decoder");
  Check(scalar->size() == bytes.size(), "the scalar decoder did not give one unit per byte");
  for (SimdLevel isa : {SimdLevel::kSse2, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    const std::optional<std::u16string> vector = text::DecodeSingleByteWith(page, isa, bytes);
    Check(!vector || *vector == *scalar, "a vector decoder differs from the scalar decoder");
  }
}

// NativeString and each of its narrowing loops on arbitrary code units.
void CheckNarrowing(const std::uint8_t* data, std::size_t size) {
  const std::u16string units = Norv::Fuzz::UnitsOf(data, size);
  const std::string native = Norv::Interop::NativeString(ServiceString(units));
  const std::size_t end = std::min(units.find(u'\0'), units.size());
  Check(native.size() == end, "NativeString did not stop at the first U+0000");
  for (std::size_t i = 0; i < end; ++i) {
    Check(static_cast<unsigned char>(native[i]) == (units[i] & 0xFF),
          "NativeString did not keep the low byte of a code unit");
  }
  Check(Norv::Interop::NativeString(ServiceString()).empty(), "NativeString(null) is not empty");
  for (SimdLevel level : {SimdLevel::kSse2, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    std::string out(units.size(), '\0');
    const std::optional<std::size_t> n =
        Norv::Interop::internal::NarrowUnitsWith(level, units.data(), units.size(), out.data());
    if (!n) continue;
    out.resize(*n);
    Check(out == native, "a vector narrowing loop differs from NativeString");
  }

  // UTF-8 round trip of the service strings: exact for well-formed UTF-16,
  // and always well-formed afterwards.
  const ServiceString service(units);
  const ServiceString back = ServiceString::FromUtf8(service.ToUtf8());
  Check(IsWellFormedUtf16(back.Units()), "the UTF-8 round trip produced a lone surrogate");
  if (IsWellFormedUtf16(units)) {
    Check(back == service, "a well-formed string changed in the UTF-8 round trip");
  } else {
    Check(back.Units().size() == units.size(), "a lone surrogate did not become one U+FFFD");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A broken page setting makes every conversion raise; fail at once rather
  // than on the first input.
  const int page = Norv::Text::AnsiCodePage();
  std::fprintf(stderr, "fuzz_conversion: ANSI code page %d\n", page);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckAnsi(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckSingleByteDecoders(data, size);
  CheckNarrowing(data, size);
  return 0;
}
