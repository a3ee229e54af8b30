// MirnDataService: the host application's way to a project's data service
// (log-on, access questions, authors, forecasts) and to an author's preferred
// TD list document.
//
// Every member is static and self-contained: it obtains a fresh channel or
// document, makes one call and converts the answer. Members may be called
// from any thread at once; they share no state. Failures arrive as
// exceptions derived from std::exception, except from LogOn, which swallows
// them all.
#ifndef NORV_INTEROP_MIRN_DATA_SERVICE_H_
#define NORV_INTEROP_MIRN_DATA_SERVICE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "norv/interop/Export.h"
#include "norv/interop/NativeKeyValuePairs.h"

namespace Norv::MirnDataService::Interop {

// The names below are fixed by the interface, the odd ones too
// (Preferred_TDMode, IsDatabaseCanBeConnected, PreferredTDListExist, the
// parameter LastTDChartId): see "Names fixed by the interface" in
// /usr/share/doc/libnorv-interop-dev/architecture.md before renaming any.
class NORV_INTEROP_API MirnDataService {
 public:
  // The author's preferred TD mode. Values other than the three below are
  // accepted: SetAuthorPreferredTDMode ignores them.
  enum Preferred_TDMode : std::int32_t {
    kPreferredTDModeNone = 0,
    kPreferredTDModeOne = 1,
    kPreferredTDModeTwo = 2,
  };

  MirnDataService& operator=(const MirnDataService& other);

  // Log-on on the data service of the current process. Never reports a
  // failure.
  static void LogOn(char* projectPath, char* user, char* password, char* author);

  static bool IsProjectAdmin(char* projectPath, char* userName, char* password, int pid);
  static bool IsUserRestricted(char* projectPath, char* userName, char* password, int pid);
  static bool IsDatabaseCanBeConnected(char* projectPath, char* userName, char* password, int pid);
  static std::vector<std::string> GetAuthors(char* projectPath, char* userName, char* password,
                                             int pid);

  static double GetForecastEUR(char* projectPath, char* userName, char* password, int pid,
                               int boreholeId, char* templateName, char* author);
  static double GetForecastReserve(char* projectPath, char* userName, char* password, int pid,
                                   int boreholeId, char* templateName, char* author);
  static std::string GetForecastLife(char* projectPath, char* userName, char* password, int pid,
                                     int boreholeId, char* templateName, char* author);
  static std::vector<NativeDoubleKeyValuePair> GetForecastEURList(char* projectPath, char* userName,
                                                                  char* password, int pid,
                                                                  char* forecastName, char* author);
  static std::vector<NativeDoubleKeyValuePair> GetForecastReserveList(
      char* projectPath, char* userName, char* password, int pid, char* forecastName, char* author);
  static std::vector<NativeStringKeyValuePair> GetForecastLifeList(char* projectPath,
                                                                   char* userName, char* password,
                                                                   int pid, char* forecastName,
                                                                   char* author);
  static std::vector<int> GetBoreholeIdsWithForecast(char* projectPath, char* userName,
                                                     char* password, int pid, char* templateName,
                                                     char* author);
  static std::vector<NativeStringKeyValuePair> GetForecastTemplatesByAuthor(char* projectPath,
                                                                            char* userName,
                                                                            char* password, int pid,
                                                                            char* author);

  // Preferred TD list document of an author directory.
  static Preferred_TDMode GetAuthorPreferredTDMode(char* authorDirectory);
  static void SetAuthorPreferredTDMode(char* authorDirectory, Preferred_TDMode mode,
                                       const std::map<int, int>* boreholeTDIds,
                                       const int* lastBoreholeId, const int* lastTDChartId);
  static bool PreferredTDListExist(char* authorDirectory);
  static void GetPreferredTDList(char* authorDirectory, std::map<int, int>& preferTDList);
  static void GetPreferredTDLastBoreholeAndTDId(char* authorDirectory, int& lastBoreholeId,
                                                int& LastTDChartId);
  static bool SaveExistingPreferredTDList(char* authorDirectory,
                                          const std::map<int, int>& preferTDList,
                                          int lastBoreholeId, int lastTDChartId);
};

}  // namespace Norv::MirnDataService::Interop

#endif  // NORV_INTEROP_MIRN_DATA_SERVICE_H_
