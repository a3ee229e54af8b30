// The conversion rules beside memcpy of the same bytes, in the same run:
// ToServiceString and NativeString on 16 B and 1 MiB under code page 1252,
// and FormatShortDate on a compiled Gregorian pattern (and, for comparison,
// on a calendar that needs ICU).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "conversion/Conversion.h"
#include "services/Text.h"

namespace {

using Norv::DateTime;
using Norv::ServiceString;

constexpr std::int64_t kMiB = 1 << 20;

// Western text: mostly ASCII with accented letters (Latin-1 range) and an
// occasional euro sign or curly quote (0x80..0x9F, the table's slow lane).
std::string WesternText(std::size_t size) {
  static const char kWords[] =
      "Forecast for borehole 17: reserve r\xE9vis\xE9 \x80 12.5, "
      "\x93Stra\xDF"
      "e\x94 K\xF6ln; ";
  std::string text;
  while (text.size() < size) text += kWords;
  text.resize(size);
  return text;
}

// Every byte value but zero, at random: the worst case for the table.
std::string RandomBytes(std::size_t size) {
  std::mt19937 random(42);
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>(random() % 255 + 1);
  return text;
}

void BM_Memcpy(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::string from = WesternText(size);
  std::vector<char> to(size);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(16)->Arg(kMiB)->Arg(2 * kMiB);

void BM_ToServiceString(benchmark::State& state) {
  std::string text = WesternText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    ServiceString s = Norv::Interop::ToServiceString(text.c_str());
    benchmark::DoNotOptimize(s.Units().data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ToServiceString)->Arg(16)->Arg(kMiB);

void BM_ToServiceStringRandomBytes(benchmark::State& state) {
  std::string text = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    ServiceString s = Norv::Interop::ToServiceString(text.c_str());
    benchmark::DoNotOptimize(s.Units().data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ToServiceStringRandomBytes)->Arg(kMiB);

// Bytes processed counts the native side (one byte per code unit), so the
// figure compares with BM_Memcpy of the same size.
void BM_NativeString(benchmark::State& state) {
  ServiceString s =
      Norv::Interop::ToServiceString(WesternText(static_cast<std::size_t>(state.range(0))).c_str());
  for (auto _ : state) {
    std::string bytes = Norv::Interop::NativeString(s);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NativeString)->Arg(16)->Arg(kMiB);

std::vector<DateTime> Dates() {
  std::vector<DateTime> dates;
  for (int i = 0; i < 1024; ++i) dates.push_back(DateTime{1990 + i % 40, 1 + i % 12, 1 + i % 28});
  return dates;
}

void BM_MemcpyShortDate(benchmark::State& state) {
  const char16_t text[] = u"12/28/2011";
  char16_t to[16];
  for (auto _ : state) {
    std::memcpy(to, text, sizeof text);
    benchmark::DoNotOptimize(to);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemcpyShortDate);

// The culture of the benchmark thread; 0 = the user default (en-US here).
const char* const kCultures[] = {"en-US", "de-DE", "th-TH", "ar-SA"};

void BM_FormatShortDate(benchmark::State& state) {
  Norv::Text::SetCurrentCulture(kCultures[state.range(0)]);
  state.SetLabel(kCultures[state.range(0)]);
  std::vector<DateTime> dates = Dates();
  std::size_t i = 0;
  for (auto _ : state) {
    ServiceString s = Norv::Interop::FormatShortDate(dates[i++ & 1023]);
    benchmark::DoNotOptimize(s.Units().data());
  }
  state.SetItemsProcessed(state.iterations());
  Norv::Text::ResetCurrentCulture();
}
BENCHMARK(BM_FormatShortDate)->DenseRange(0, 3);

// The whole path of a date in a result list: short date, then NativeString.
void BM_FormatShortDateToNative(benchmark::State& state) {
  std::vector<DateTime> dates = Dates();
  std::size_t i = 0;
  for (auto _ : state) {
    std::string s = Norv::Interop::NativeString(Norv::Interop::FormatShortDate(dates[i++ & 1023]));
    benchmark::DoNotOptimize(s.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatShortDateToNative);

}  // namespace

int main(int argc, char** argv) {
  // The targets are stated for code page 1252 and a Gregorian culture; the
  // code page is fixed on first use, so set it before anything runs.
  ::setenv("NORV_ANSI_CODEPAGE", "1252", 1);
  ::setenv("LC_ALL", "en_US.UTF-8", 1);
  ::unsetenv("NORV_SHORT_DATE_PATTERN");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
