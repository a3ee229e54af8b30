// Preferred TD lists of 10,000 pairs: a save and a load through the bridge
// members on a real directory, and the text format alone.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "bench/BenchSupport.h"
#include "norv/interop/MirnDataService.h"
#include "platform/documents/DocumentStore.h"

namespace {

using Norv::MirnDataService::Interop::MirnDataService;
namespace Doc = Norv::PreferredTDList;

constexpr int kPairs = 10000;

std::map<int, int> MakeMap() {
  std::map<int, int> map;
  for (int b = 0; b < kPairs; ++b) map[b * 7 + 100000] = b % 97 + 1;
  return map;
}

// A scratch author directory, named as the host passes it.
class AuthorDirectory {
 public:
  char* Name() { return name_.data(); }

 private:
  Norv::Bench::ScratchDir dir_;
  std::string name_ = dir_.Path().string();
};

// Each save: lock, read and parse the old list, write, fsync, rename, fsync
// the directory.
void BM_SaveExisting10k(benchmark::State& state) {
  AuthorDirectory dir;
  const std::map<int, int> map = MakeMap();
  MirnDataService::SetAuthorPreferredTDMode(dir.Name(), MirnDataService::kPreferredTDModeOne, &map,
                                            nullptr, nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(MirnDataService::SaveExistingPreferredTDList(dir.Name(), map, 1, 2));
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_SaveExisting10k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GetPreferredTDList10k(benchmark::State& state) {
  AuthorDirectory dir;
  const std::map<int, int> map = MakeMap();
  MirnDataService::SetAuthorPreferredTDMode(dir.Name(), MirnDataService::kPreferredTDModeOne, &map,
                                            nullptr, nullptr);
  std::map<int, int> loaded;
  for (auto _ : state) {
    MirnDataService::GetPreferredTDList(dir.Name(), loaded);
    benchmark::DoNotOptimize(loaded.size());
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_GetPreferredTDList10k)->Unit(benchmark::kMicrosecond)->UseRealTime();

Doc::internal::Document MakeDocument() {
  Doc::internal::Document document;
  for (const auto& [boreholeId, tdId] : MakeMap()) {
    Doc::BoreholeTDId pair;
    pair.SetBoreholeId(boreholeId);
    pair.SetTDId(tdId);
    document.list.Pairs().push_back(pair);
  }
  return document;
}

void BM_FormatDocument10k(benchmark::State& state) {
  const Doc::internal::Document document = MakeDocument();
  for (auto _ : state) benchmark::DoNotOptimize(Doc::internal::FormatDocument(document));
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_FormatDocument10k)->Unit(benchmark::kMicrosecond);

void BM_ParseDocument10k(benchmark::State& state) {
  const std::string text = Doc::internal::FormatDocument(MakeDocument());
  const std::string path = "bench";
  for (auto _ : state) benchmark::DoNotOptimize(Doc::internal::ParseDocument(text, path));
  state.SetItemsProcessed(state.iterations() * kPairs);
}
BENCHMARK(BM_ParseDocument10k)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
