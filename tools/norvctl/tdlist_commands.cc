// norvctl tdlist show / set-mode / save: an author directory's preferred TD
// list through the exported MirnDataService members, so that what a script
// sees and changes is what the host application would. DIR is handed over as
// bytes, as a host passes it (decoded by the ANSI code page).
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "norv/interop/MirnDataService.h"
#include "tools/norvctl/Commands.h"

namespace Norv::Ctl {
namespace {

using Norv::MirnDataService::Interop::MirnDataService;

int ParseInt(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < INT32_MIN || value > INT32_MAX) {
    throw std::invalid_argument(what + " '" + text + "' is not a 32-bit integer");
  }
  return static_cast<int>(value);
}

// "B=T" arguments as a map; a borehole given twice is an error rather than
// a silent choice between the two.
std::map<int, int> ParsePairs(const std::vector<std::string>& pairs) {
  std::map<int, int> map;
  for (const std::string& pair : pairs) {
    const std::size_t equals = pair.find('=');
    if (equals == std::string::npos) {
      throw std::invalid_argument("--pair '" + pair + "' is not of the form BOREHOLE=TD");
    }
    const int boreholeId = ParseInt(pair.substr(0, equals), "the borehole id of --pair");
    const int tdId = ParseInt(pair.substr(equals + 1), "the TD id of --pair");
    if (!map.emplace(boreholeId, tdId).second) {
      throw std::invalid_argument("borehole " + std::to_string(boreholeId) +
                                  " is given twice with --pair");
    }
  }
  return map;
}

struct Options {
  std::string directory;
  int mode = 0;
  std::vector<std::string> pairs;
  bool clearPairs = false;
  std::optional<int> lastBorehole;
  std::optional<int> lastChart;
};

void Show(Options& o) {
  char* directory = o.directory.data();
  const bool exists = MirnDataService::PreferredTDListExist(directory);
  const int mode = MirnDataService::GetAuthorPreferredTDMode(directory);
  int lastBorehole = 0;
  int lastChart = 0;
  MirnDataService::GetPreferredTDLastBoreholeAndTDId(directory, lastBorehole, lastChart);
  std::map<int, int> map;
  MirnDataService::GetPreferredTDList(directory, map);
  std::cout << "list " << (exists ? "present" : "none") << '\n'
            << "mode " << mode << '\n'
            << "last-borehole-id " << lastBorehole << '\n'
            << "last-td-chart-id " << lastChart << '\n';
  for (const auto& [boreholeId, tdId] : map)
    std::cout << "pair " << boreholeId << '=' << tdId << '\n';
}

void SetMode(Options& o) {
  if (o.clearPairs && !o.pairs.empty()) {
    throw std::invalid_argument("--clear-pairs and --pair exclude each other");
  }
  if (o.mode != 1 && o.mode != 2) {
    throw std::invalid_argument("mode " + std::to_string(o.mode) +
                                " is neither 1 nor 2, so nothing would be changed");
  }
  // Without --pair or --clear-pairs no map is given: the stored pairs stay.
  std::optional<std::map<int, int>> map;
  if (o.clearPairs || !o.pairs.empty()) map = ParsePairs(o.pairs);
  MirnDataService::SetAuthorPreferredTDMode(
      o.directory.data(), static_cast<MirnDataService::Preferred_TDMode>(o.mode),
      map ? &*map : nullptr, o.lastBorehole ? &*o.lastBorehole : nullptr,
      o.lastChart ? &*o.lastChart : nullptr);
}

void Save(Options& o) {
  const std::map<int, int> map = ParsePairs(o.pairs);
  if (!MirnDataService::SaveExistingPreferredTDList(o.directory.data(), map, *o.lastBorehole,
                                                    *o.lastChart)) {
    throw std::runtime_error("no preferred TD list is saved in " + o.directory +
                             " yet, so nothing was saved (create one with tdlist set-mode)");
  }
}

}  // namespace

void AddTdlistCommands(CLI::App& app) {
  static Options options;
  CLI::App& tdlist =
      GetOrAddSubcommand(app, "tdlist", "An author directory's preferred TD list document");

  CLI::App* show = tdlist.add_subcommand(
      "show", "Print whether DIR holds a list, its mode, last ids and pairs (BOREHOLE=TD)");
  show->add_option("DIR", options.directory, "The author directory")->required();
  show->callback([] { Guarded([] { Show(options); }); });

  CLI::App* setMode = tdlist.add_subcommand(
      "set-mode",
      "Set the author's mode (1: TD per borehole from the pairs, 2: the last TD chart) and the "
      "last ids, creating the list if there is none; the pairs stay unless --pair or "
      "--clear-pairs is given, and a last id not given is stored as 0");
  setMode->add_option("DIR", options.directory, "The author directory")->required();
  setMode->add_option("MODE", options.mode, "1 or 2")->required();
  setMode->add_option("--pair", options.pairs, "A pair BOREHOLE=TD replacing the stored pairs")
      ->take_all();
  setMode->add_flag("--clear-pairs", options.clearPairs, "Remove the stored pairs");
  setMode->add_option("--last-borehole", options.lastBorehole, "The last borehole id");
  setMode->add_option("--last-chart", options.lastChart, "The last TD chart id");
  setMode->callback([] { Guarded([] { SetMode(options); }); });

  CLI::App* save = tdlist.add_subcommand(
      "save",
      "Replace the pairs and last ids of the list in DIR, keeping its mode; fails when DIR "
      "holds no list yet");
  save->add_option("DIR", options.directory, "The author directory")->required();
  save->add_option("--pair", options.pairs, "A pair BOREHOLE=TD (none: an empty list)")->take_all();
  save->add_option("--last-borehole", options.lastBorehole, "The last borehole id")->required();
  save->add_option("--last-chart", options.lastChart, "The last TD chart id")->required();
  save->callback([] { Guarded([] { Save(options); }); });
}

}  // namespace Norv::Ctl
