// Password encryption cost: each call reads the key file (so a replaced key
// or a new XDG_CONFIG_HOME takes effect at once), then one secretbox.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "norv/interop/Settings.h"
#include "services/AuthorSettings.h"
#include "services/CustomPassword.h"

namespace {

using Norv::ServiceString;
using Norv::Security::CustomPassword;

// A private configuration directory for the whole run.
class BenchConfig {
 public:
  BenchConfig() {
    std::string pattern = (std::filesystem::temp_directory_path() / "norv-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
      dir_ = pattern;
      ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
  }
  ~BenchConfig() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::filesystem::path dir_;
};

BenchConfig& Config() {
  static BenchConfig config;
  return config;
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
