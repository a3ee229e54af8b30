// Helpers shared by the fuzz targets: a private scratch directory for the
// process, and the check that stops a run when an invariant fails.
//
// A fuzz target runs its inputs one after another on one thread; nothing here
// is meant for concurrent use.
#ifndef NORV_FUZZ_FUZZ_SUPPORT_H_
#define NORV_FUZZ_FUZZ_SUPPORT_H_

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace Norv::Fuzz {

// A fresh directory under $TMPDIR (else /tmp), made on first use and removed
// when the process exits normally. A crash leaves it for inspection.
class ScratchDirectory {
 public:
  static const std::filesystem::path& Path() {
    static ScratchDirectory directory;
    return directory.path_;
  }

 private:
  ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/norv-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror(("cannot make a scratch directory from " + pattern).c_str());
      std::abort();
    }
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::filesystem::path path_;
};

// Prints what went wrong and aborts, so that libFuzzer saves the input.
[[noreturn]] inline void Fail(std::string_view what) {
  std::fprintf(stderr, "fuzz invariant failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

inline void Check(bool condition, std::string_view what) {
  if (!condition) Fail(what);
}

// Whether `units` is well-formed UTF-16: every surrogate in a pair.
inline bool IsWellFormedUtf16(std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// The input read as little-endian UTF-16 code units (an odd last byte is
// dropped), so that every code unit, U+0000 and lone surrogates included,
// can be reached.
inline std::u16string UnitsOf(const unsigned char* data, std::size_t size) {
  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  return units;
}

}  // namespace Norv::Fuzz

#endif  // NORV_FUZZ_FUZZ_SUPPORT_H_
