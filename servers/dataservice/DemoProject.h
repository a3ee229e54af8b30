// A realistic demo project for the reference data service: several authors
// with their forecast templates, a few hundred boreholes with forecasts, named
// forecasts, one administrator and one restricted user.
//
// Thread-safety: functions of their own; call from any thread.
#ifndef NORV_SERVERS_DATASERVICE_DEMO_PROJECT_H_
#define NORV_SERVERS_DATASERVICE_DEMO_PROJECT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "servers/dataservice/ProjectDatabase.h"

namespace Norv::Servers {

struct DemoProjectOptions {
  std::string projectPath = "demo";
  std::string projectName = "North Field demo";
  std::string adminName = "admin";
  std::string adminPassword;  // generated when empty
  std::string restrictedName = "viewer";
  std::string restrictedPassword;  // generated when empty
  int boreholes = 300;
  std::uint32_t seed = 2011;
  PasswordHashCost cost = PasswordHashCost::kInteractive;
};

struct DemoNamedForecast {
  std::string author;
  std::string name;
  int entries = 0;
};

struct DemoProjectSummary {
  std::string projectPath;
  std::string adminName;
  std::string adminPassword;
  bool adminPasswordGenerated = false;
  std::string restrictedName;
  std::string restrictedPassword;
  bool restrictedPasswordGenerated = false;
  std::vector<std::string> authors;
  int templates = 0;
  int boreholes = 0;
  int forecasts = 0;
  std::vector<DemoNamedForecast> namedForecasts;
};

// Writes the demo project to `file`, which must not exist yet. The file
// appears complete or not at all: it is written beside its final name and
// linked into place.
DemoProjectSummary CreateDemoProject(const std::filesystem::path& file, DemoProjectOptions options);

// A random password of 20 letters and digits (no look-alikes such as l, 1, O
// and 0).
std::string GeneratePassword();

}  // namespace Norv::Servers

#endif  // NORV_SERVERS_DATASERVICE_DEMO_PROJECT_H_
