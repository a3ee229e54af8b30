// The preferred-TD members of MirnDataService: each builds what it hands
// over, creates one document object for the author directory, makes one call
// on it and converts the answer. Failures pass through untouched.
#include <map>
#include <utility>
#include <vector>

#include "conversion/Conversion.h"
#include "norv/interop/MirnDataService.h"
#include "services/Collection.h"
#include "services/PreferredTDList.h"

namespace Norv::MirnDataService::Interop {
namespace {

namespace Doc = ::Norv::PreferredTDList;

// One pair per entry, in the map's ascending borehole order.
void AppendPairs(const std::map<int, int>& map, std::vector<Doc::BoreholeTDId>& target) {
  for (const auto& [boreholeId, tdId] : map) {
    Doc::BoreholeTDId pair;
    pair.SetBoreholeId(boreholeId);
    pair.SetTDId(tdId);
    target.push_back(pair);
  }
}

}  // namespace

MirnDataService::Preferred_TDMode MirnDataService::GetAuthorPreferredTDMode(char* authorDirectory) {
  Doc::PreferredTDListFile file(Norv::Interop::ToServiceString(authorDirectory));
  const Doc::PreferredTDMode mode = file.GetAuthorPreferredTDMode();
  if (mode == Doc::kPreferredTDModeLastChart) return kPreferredTDModeTwo;
  if (mode == Doc::kPreferredTDModePerBorehole) return kPreferredTDModeOne;
  return kPreferredTDModeNone;
}

void MirnDataService::SetAuthorPreferredTDMode(char* authorDirectory, Preferred_TDMode mode,
                                               const std::map<int, int>* boreholeTDIds,
                                               const int* lastBoreholeId,
                                               const int* lastTDChartId) {
  Doc::PreferredTDMode documentMode;
  if (mode == kPreferredTDModeTwo) {
    documentMode = Doc::kPreferredTDModeLastChart;
  } else if (mode == kPreferredTDModeOne) {
    documentMode = Doc::kPreferredTDModePerBorehole;
  } else {
    return;  // not a mode: nothing is read, converted or touched
  }
  Collection<Doc::BoreholeTDId> pairs;  // null: the document keeps its pairs
  if (boreholeTDIds != nullptr) {
    pairs.emplace();
    AppendPairs(*boreholeTDIds, *pairs);
  }
  const int lastBorehole = lastBoreholeId != nullptr ? *lastBoreholeId : 0;
  const int lastChart = lastTDChartId != nullptr ? *lastTDChartId : 0;
  Doc::PreferredTDListFile file(Norv::Interop::ToServiceString(authorDirectory));
  file.SetAuthorPreferredTDMode(documentMode, pairs, lastBorehole, lastChart);
}

bool MirnDataService::PreferredTDListExist(char* authorDirectory) {
  Doc::PreferredTDListFile file(Norv::Interop::ToServiceString(authorDirectory));
  return file.PreferredTDListExist();
}

void MirnDataService::GetPreferredTDList(char* authorDirectory, std::map<int, int>& preferTDList) {
  Doc::PreferredTDListFile file(Norv::Interop::ToServiceString(authorDirectory));
  const Doc::BoreholeTDList list = file.GetPreferredTDList();
  // Cleared only once the document has answered, so that a failed read
  // leaves the caller's map as it was.
  preferTDList.clear();
  for (const Doc::BoreholeTDId& pair : list.Pairs()) {
    int& tdId = preferTDList[pair.BoreholeId()];
    tdId = pair.TDId();  // a later pair of the same borehole wins
  }
}

void MirnDataService::GetPreferredTDLastBoreholeAndTDId(char* authorDirectory, int& lastBoreholeId,
                                                        int& LastTDChartId) {
  Doc::PreferredTDListFile file(Norv::Interop::ToServiceString(authorDirectory));
  const Doc::BoreholeTDList list = file.GetPreferredTDList();
  lastBoreholeId = list.LastBoreholeId();
  LastTDChartId = list.LastTDChartId();
}

bool MirnDataService::SaveExistingPreferredTDList(char* authorDirectory,
                                                  const std::map<int, int>& preferTDList,
                                                  int lastBoreholeId, int lastTDChartId) {
  Doc::BoreholeTDList list;
  AppendPairs(preferTDList, list.Pairs());
  list.SetLastBoreholeId(lastBoreholeId);
  list.SetLastTDChartId(lastTDChartId);
  Doc::PreferredTDListFile file(Norv::Interop::ToServiceString(authorDirectory));
  return file.SaveExistingPreferredTDList(list);
}

}  // namespace Norv::MirnDataService::Interop
