// Password encryption cost: each call reads the key file (so a replaced key
// or a new XDG_CONFIG_HOME takes effect at once), then one secretbox.
#include <stdlib.h>

#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "norv/interop/Settings.h"
#include "services/AuthorSettings.h"
#include "services/CustomPassword.h"

namespace {

using Norv::ServiceString;
using Norv::Security::CustomPassword;

// A private configuration directory (and so a private key) for the whole run.
const Norv::Bench::ScratchDir& Config() {
  static Norv::Bench::ScratchDir dir;
  [[maybe_unused]] static const bool pointed =
      ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1) == 0;
  return dir;
}

void BM_EncryptPassword(benchmark::State& state) {
  Config();
  ServiceString password(std::u16string(static_cast<std::size_t>(state.range(0)), u'p'));
  for (auto _ : state) benchmark::DoNotOptimize(CustomPassword::EncryptPassword(password));
}
BENCHMARK(BM_EncryptPassword)->Arg(12)->Arg(256);

void BM_DecryptPassword(benchmark::State& state) {
  Config();
  ServiceString encrypted = CustomPassword::EncryptPassword(
      ServiceString(std::u16string(static_cast<std::size_t>(state.range(0)), u'p')));
  for (auto _ : state) benchmark::DoNotOptimize(CustomPassword::DecryptPassword(encrypted));
}
BENCHMARK(BM_DecryptPassword)->Arg(12)->Arg(256);

void BM_BridgeEncryptPassword(benchmark::State& state) {
  Config();
  char password[] = "correct horse";
  for (auto _ : state) benchmark::DoNotOptimize(Norv::Interop::EncryptPassword(password));
}
BENCHMARK(BM_BridgeEncryptPassword);

void BM_SetAuthorPath(benchmark::State& state) {
  for (auto _ : state) Norv::IO::Interop::SetAuthorPath("/srv/norv/authors");
}
BENCHMARK(BM_SetAuthorPath);

void BM_SaveAuthorSettings(benchmark::State& state) {
  Config();
  Norv::IO::AuthorSettings settings;
  settings.SetPath(ServiceString(u"/srv/norv/authors"));
  for (auto _ : state) settings.Save();
}
BENCHMARK(BM_SaveAuthorSettings);

}  // namespace

BENCHMARK_MAIN();
