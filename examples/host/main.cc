// An example host application: what a native program does with the library
// in its own process.
//
//   norv-host-example DATA_PID PROJECT USER AUTHOR FORECAST AUTHOR_DIR
//
// reads the password from the first line of standard input (never put a
// password in a command line: other users can read it in /proc), then
//   1. starts the shutdown service for this process, so that client
//      applications can subscribe;
//   2. logs on and asks the data service of process DATA_PID about the
//      user, the authors and the named forecast FORECAST of AUTHOR;
//   3. reads the author's preferred TD list in AUTHOR_DIR, creating it on the
//      first run and saving it back on the next;
//   4. asks the subscribers whether they agree to shut down, and stops the
//      service.
// A data service to talk to: `norvctl serve data-service --db FILE`, which
// prints its process id.
#include <norv/interop.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

using Norv::MirnDataService::Interop::MirnDataService;
using Norv::ServiceModel::Interop::ShutdownFactory;

namespace {

// The interface takes char*, not const char*: keep each argument in a
// string the call may point into.
char* Arg(std::string& text) { return text.data(); }

int Run(int dataPid, std::string project, std::string user, std::string password,
        std::string author, std::string forecast, std::string authorDir) {
  // 1. Client applications find the service on the endpoint "Shutdown" of
  // this process id. Starting it never fails loudly: a host that cannot
  // open the endpoint simply has no subscribers.
  ShutdownFactory::StartShutdownService(static_cast<int>(::getpid()));

  // 2. LogOn goes to the data service of this very process and swallows
  // every failure; here nobody serves it, which costs nothing. The queries
  // name the process that serves the project.
  MirnDataService::LogOn(Arg(project), Arg(user), Arg(password), Arg(author));
  if (!MirnDataService::IsDatabaseCanBeConnected(Arg(project), Arg(user), Arg(password), dataPid)) {
    std::fprintf(stderr, "the database of project %s cannot be used\n", project.c_str());
    return 1;
  }
  bool admin = MirnDataService::IsProjectAdmin(Arg(project), Arg(user), Arg(password), dataPid);
  std::printf("user %s: %s\n", user.c_str(), admin ? "administrator" : "not an administrator");

  std::vector<std::string> authors =
      MirnDataService::GetAuthors(Arg(project), Arg(user), Arg(password), dataPid);
  std::printf("authors: %zu\n", authors.size());
  for (const std::string& name : authors) std::printf("  %s\n", name.c_str());

  // Lists come back in the service's order, as (borehole id, value) records.
  std::vector<NativeDoubleKeyValuePair> eur = MirnDataService::GetForecastEURList(
      Arg(project), Arg(user), Arg(password), dataPid, Arg(forecast), Arg(author));
  double total = 0;
  for (const NativeDoubleKeyValuePair& record : eur) total += record.value;
  std::printf("forecast \"%s\" of %s: %zu boreholes, EUR total %.1f\n", forecast.c_str(),
              author.c_str(), eur.size(), total);
  // Single values: the forecast of one borehole under one of the author's
  // templates. Dates come back as short dates of the process's culture.
  std::vector<NativeStringKeyValuePair> templates = MirnDataService::GetForecastTemplatesByAuthor(
      Arg(project), Arg(user), Arg(password), dataPid, Arg(author));
  std::printf("templates of %s: %zu\n", author.c_str(), templates.size());
  if (!templates.empty()) {
    std::string templateName = templates.front().value;
    std::vector<int> boreholes = MirnDataService::GetBoreholeIdsWithForecast(
        Arg(project), Arg(user), Arg(password), dataPid, Arg(templateName), Arg(author));
    if (!boreholes.empty()) {
      std::string life =
          MirnDataService::GetForecastLife(Arg(project), Arg(user), Arg(password), dataPid,
                                           boreholes.front(), Arg(templateName), Arg(author));
      std::printf("borehole %d, \"%s\": end of life %s\n", boreholes.front(), templateName.c_str(),
                  life.c_str());
    }
  }

  // 3. The preferred TD list lives in the author's directory, which the
  // host creates; the library never does.
  std::map<int, int> preferred;
  if (!MirnDataService::PreferredTDListExist(Arg(authorDir))) {
    // First run: one preferred TD per borehole of the forecast (mode 1).
    for (std::size_t i = 0; i < eur.size() && i < 3; ++i) preferred[eur[i].key] = 1;
    int lastBorehole = preferred.empty() ? 0 : preferred.begin()->first;
    int lastChart = 1;
    MirnDataService::SetAuthorPreferredTDMode(Arg(authorDir), MirnDataService::kPreferredTDModeOne,
                                              &preferred, &lastBorehole, &lastChart);
    std::printf("preferred TD list created with %zu pairs\n", preferred.size());
  } else {
    MirnDataService::GetPreferredTDList(Arg(authorDir), preferred);
    int lastBorehole = 0;
    int lastChart = 0;
    MirnDataService::GetPreferredTDLastBoreholeAndTDId(Arg(authorDir), lastBorehole, lastChart);
    std::printf("preferred TD list found: mode %d, %zu pairs, last borehole %d, chart %d\n",
                static_cast<int>(MirnDataService::GetAuthorPreferredTDMode(Arg(authorDir))),
                preferred.size(), lastBorehole, lastChart);
    // The user moved on to the next chart: save the list with it.
    bool saved = MirnDataService::SaveExistingPreferredTDList(Arg(authorDir), preferred,
                                                              lastBorehole, lastChart + 1);
    std::printf("saved with chart %d: %s\n", lastChart + 1, saved ? "yes" : "no");
  }

  // 4. Before quitting, ask the subscribed applications; a real host would
  // let the user decide when one refuses, or force them.
  bool agreed = ShutdownFactory::RequestStopShutdownService();
  std::printf("subscribers agree to shut down: %s\n", agreed ? "yes" : "no");
  ShutdownFactory::StopShutdownService();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr,
                 "usage: %s DATA_PID PROJECT USER AUTHOR FORECAST AUTHOR_DIR "
                 "(password on standard input)\n",
                 argv[0]);
    return 2;
  }
  std::string password;
  std::getline(std::cin, password);
  try {
    return Run(std::atoi(argv[1]), argv[2], argv[3], password, argv[4], argv[5], argv[6]);
  } catch (const std::exception& e) {
    // Every failure says what failed and where: process, endpoint, operation
    // or path.
    std::fprintf(stderr, "norv-host-example: %s\n", e.what());
    return 1;
  }
}
