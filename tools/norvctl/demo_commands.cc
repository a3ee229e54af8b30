// norvctl demo: a guided tour of every exported function of the library.
//
// The tool plays the host application. It writes a demo project (SQLite),
// serves the reference data service and the reference launcher on its own
// process id (the data service's LogOn and the launcher members always reach
// the calling process), starts the shutdown service with two subscriber
// processes (one agrees to shut down, one refuses), and then calls each
// exported function in the order a host would, printing what it sent and
// what came back. Round trips are checked, not just shown: a value that does
// not come back as sent fails the demo, naming the call.
//
// Everything happens in a scratch directory (or --dir), with a private
// endpoint directory (unless NORV_PIPE_DIR is set) and a private
// XDG_CONFIG_HOME, so that the demo never touches the user's own key or
// settings. At the end every process it started has been reaped, every
// server stopped and every socket removed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "norv/interop/Halvane.h"
#include "norv/interop/MirnDataService.h"
#include "norv/interop/Settings.h"
#include "norv/interop/ShutdownFactory.h"
#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/DemoProject.h"
#include "servers/dataservice/Sqlite.h"
#include "servers/dataservice/SqliteDataService.h"
#include "servers/launcher/ReferenceLauncher.h"
#include "services/AuthorSettings.h"
#include "services/CustomPassword.h"
#include "services/NamedPipeServiceHost.h"
#include "tools/norvctl/Commands.h"
#include "tools/norvctl/demo_support.h"

namespace Norv::Ctl {
namespace {

namespace fs = std::filesystem;
using Demo::FormatNumber;
using Demo::Quoted;
using Demo::SubscriberProcess;
using Demo::Table;
using Norv::Halvane::Interop::Halvane;
using Norv::MirnDataService::Interop::MirnDataService;
using Norv::ServiceModel::Interop::ShutdownFactory;

// The demo's fixed data: the same project, figures and answers on every run.
constexpr char kProject[] = "demo";
constexpr char kAdmin[] = "admin";
constexpr char kAdminPassword[] = "north-field-admin";
constexpr char kViewer[] = "viewer";
constexpr char kViewerPassword[] = "north-field-viewer";
constexpr char kDemoAuthor[] = "Amara Okafor";
constexpr char kNamedForecast[] = "Budget 2027";
constexpr std::uint32_t kSeed = 2011;
constexpr int kBoreholes = 300;
// Rows shown of a long list.
constexpr std::size_t kShownRows = 3;
// Generous bounds for other processes to answer: they only guard against a
// hang, they are never waited out on a healthy run.
constexpr std::chrono::seconds kProcessTimeout{30};

// A call that failed, or answered something other than the demo project
// holds; the message names the call.
class DemoFailure : public std::runtime_error {
 public:
  DemoFailure(const std::string& call, const std::string& what)
      : std::runtime_error(call + " failed: " + what) {}
};

template <class Body>
auto Call(const std::string& name, Body&& body) {
  try {
    return body();
  } catch (const DemoFailure&) {
    throw;
  } catch (const std::exception& e) {
    throw DemoFailure(name, e.what());
  }
}

void Expect(bool condition, const std::string& call, const std::string& what) {
  if (!condition) throw DemoFailure(call, what);
}

// A writable copy of a string for the char* parameters of the interface.
struct Arg {
  explicit Arg(std::string text) : value(std::move(text)) {}
  char* operator()() { return value.data(); }
  std::string value;
};

std::string YesNo(bool value) { return value ? "true" : "false"; }

// "N <noun>" and the first few rows, then "..." when there are more.
template <class T, class Show>
std::vector<std::string> Abbreviated(const std::vector<T>& rows, const std::string& noun,
                                     Show&& show) {
  std::vector<std::string> lines = {std::to_string(rows.size()) + " " + noun};
  for (std::size_t i = 0; i < rows.size() && i < kShownRows; ++i) lines.push_back(show(rows[i]));
  if (rows.size() > kShownRows) lines.push_back("...");
  return lines;
}

std::string Pairs(const std::map<int, int>& pairs) {
  std::string text;
  for (const auto& [borehole, td] : pairs) {
    if (!text.empty()) text += ", ";
    text += std::to_string(borehole) + "->" + std::to_string(td);
  }
  return "{" + text + "}";
}

// The endpoint files of process `pid` in `dir`: its sockets and lock files.
// Other processes' files are none of the demo's business (the directory may
// be the user's own).
std::vector<std::string> EndpointFilesOf(const fs::path& dir, std::int32_t pid) {
  const std::string prefix = std::to_string(pid) + ".";
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    std::string name = entry.path().filename().string();
    std::string extension = entry.path().extension().string();
    if (name.rfind(prefix, 0) == 0 && (extension == ".sock" || extension == ".lock")) {
      files.push_back(name);
    }
  }
  return files;
}

std::int64_t CountLogOns(const fs::path& database) {
  Servers::internal::Connection connection(database, Servers::internal::Connection::Mode::kReadOnly,
                                           std::chrono::milliseconds(5000));
  auto query = connection.Prepare("SELECT count(*) FROM logons");
  return query.Step() ? query.Int64(0) : 0;
}

// What a companion tool reported (see norv-companion-demo): its "env=" and
// "stdin=" lines.
struct CompanionReport {
  std::map<std::string, std::string> environment;
  std::string standardInput;
  std::string pid;
};

// Waits for the report, which the tool writes under a temporary name and
// renames into place once complete.
CompanionReport AwaitReport(const fs::path& file, const std::string& call) {
  auto deadline = std::chrono::steady_clock::now() + kProcessTimeout;
  while (!fs::exists(file)) {
    Expect(std::chrono::steady_clock::now() < deadline, call,
           "the companion tool wrote no report to " + file.string() + " within " +
               std::to_string(kProcessTimeout.count()) + " s");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  CompanionReport report;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("env=", 0) == 0) {
      auto equals = line.find('=', 4);
      if (equals != std::string::npos) {
        report.environment[line.substr(4, equals - 4)] = line.substr(equals + 1);
      }
    } else if (line.rfind("stdin=", 0) == 0) {
      report.standardInput = line.substr(6);
    } else if (line.rfind("pid=", 0) == 0) {
      report.pid = line.substr(4);
    }
  }
  return report;
}

struct DemoOptions {
  std::string dir;
};

// The scratch places of one run.
struct Places {
  std::optional<Demo::ScratchDir> scratch;      // the work directory unless --dir
  std::optional<Demo::ScratchDir> pipeScratch;  // the endpoint directory with --dir
  fs::path work;
  fs::path pipes;
  bool ownPipes = false;
};

void PreparePlaces(const DemoOptions& options, Places& places) {
  if (options.dir.empty()) {
    places.scratch.emplace("norv-demo-");
    places.work = places.scratch->Path();
  } else {
    places.work = fs::absolute(options.dir);
    fs::create_directories(places.work);
    if (!fs::is_empty(places.work)) {
      throw std::runtime_error("--dir " + places.work.string() +
                               " is not empty; the demo writes only into a new or empty directory");
    }
  }
  const char* userPipes = std::getenv("NORV_PIPE_DIR");
  if (userPipes != nullptr && *userPipes != '\0') {
    places.pipes = userPipes;
  } else {
    // A private endpoint directory: the demo's sockets never meet anybody
    // else's, and an empty directory at the end shows that none was left.
    if (places.scratch) {
      places.pipes = places.work / "pipes";
      if (::mkdir(places.pipes.c_str(), 0700) != 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot create the endpoint directory " + places.pipes.string());
      }
    } else {
      places.pipeScratch.emplace("norv-demo-pipes-");
      places.pipes = places.pipeScratch->Path();
    }
    places.ownPipes = true;
    ::setenv("NORV_PIPE_DIR", places.pipes.c_str(), 1);
  }
  // The password key is made in the demo's own configuration directory, never
  // in the user's. Set before any thread starts, since setenv is not
  // thread-safe.
  fs::create_directories(places.work / "config");
  ::setenv("XDG_CONFIG_HOME", (places.work / "config").c_str(), 1);
}

// Stops the shutdown service if the demo ends early; subscribers are ended
// by their own destructors.
struct ShutdownServiceGuard {
  bool active = false;
  ~ShutdownServiceGuard() {
    if (active) ShutdownFactory::StopShutdownService();
  }
};

// One run of the demo: what it made and started, and one member per step.
// Members are destroyed in reverse order, so the subscribers end first, then
// the shutdown service, the launcher and the data service, and the scratch
// directories last.
class DemoRun {
 public:
  explicit DemoRun(const DemoOptions& options) { PreparePlaces(options, places_); }

  void Run() {
    CreateProject();
    PrintHeader();
    StartServices();
    StartShutdownService();
    ShowAccess();
    ShowForecasts();
    ShowForecastLists();
    ShowSettingsAndCredentials();
    ShowPreferredTDList();
    ShowLauncher();
    ShutDown();
    StopEverything();
  }

 private:
  void CreateProject() {
    database_ = places_.work / "project.db";
    self_ = Demo::SelfExecutable();
    companion_ = Demo::FindCompanionProgram();
    Servers::DemoProjectOptions projectOptions;
    projectOptions.projectPath = kProject;
    projectOptions.adminName = kAdmin;
    projectOptions.adminPassword = kAdminPassword;
    projectOptions.restrictedName = kViewer;
    projectOptions.restrictedPassword = kViewerPassword;
    projectOptions.boreholes = kBoreholes;
    projectOptions.seed = kSeed;
    summary_ = Servers::CreateDemoProject(database_, projectOptions);
  }

  void PrintHeader() const {
    std::printf(
        "norvctl demo: every exported function of libnorv-interop, called as a host would\n");
    std::printf("  this process      %d (the host application)\n", static_cast<int>(pid_));
    std::printf("  work directory    %s%s\n", places_.work.c_str(),
                places_.scratch ? " (removed at the end)" : " (kept)");
    std::printf("  demo project      %s: project \"%s\", %zu authors, %d boreholes, seed %u\n",
                database_.c_str(), kProject, summary_.authors.size(), summary_.boreholes,
                static_cast<unsigned>(kSeed));
    std::printf("  users             %s / %s (administrator), %s / %s (restricted)\n", kAdmin,
                kAdminPassword, kViewer, kViewerPassword);
    std::printf("  endpoints         %s%s\n", places_.pipes.c_str(),
                places_.ownPipes ? " (private)" : " (from NORV_PIPE_DIR)");
    std::printf("  companion tool    %s\n", companion_.c_str());
  }

  // The services a host's process provides for the bridges to reach.
  void StartServices() {
    auto service = std::make_shared<Servers::SqliteDataService>(database_);
    service->CheckDatabase();
    dataHost_ = Servers::NewDataServiceHost(service, pid_);
    dataHost_->Open();
    Servers::ReferenceLauncherOptions launcherOptions;
    launcherOptions.pid = pid_;
    auto toolCommand = [&](const char* name) {
      return Servers::Command{companion_.string(), "--output", (places_.work / name).string()};
    };
    launcherOptions.trasko = toolCommand("trasko-report.txt");
    launcherOptions.wendal = toolCommand("wendal-report.txt");
    launcherOptions.orbisk = toolCommand("orbisk-report.txt");
    launcher_.emplace(launcherOptions);
    launcher_->Start();
    std::printf("  serving           the data service and the launcher of process %d\n",
                static_cast<int>(pid_));

    // The subscribers are the demo's own healthy processes: on a loaded
    // machine a slow answer must not count as agreeing (which is what a
    // callback time-out means), so allow them as long as any other process.
    auto timeouts = ServiceModel::NamedPipeServiceHost::GetTimeouts();
    timeouts.callback = kProcessTimeout;
    ServiceModel::NamedPipeServiceHost::SetTimeouts(timeouts);
  }

  // Start-up: the shutdown service and its two subscribers.
  void StartShutdownService() {
    table_.Section("Shutdown coordination service of process " + std::to_string(pid_));
    Call("ShutdownFactory::StartShutdownService", [&] {
      ShutdownFactory::StartShutdownService(pid_);
      shutdownGuard_.active = true;
    });
    shutdownSocket_ = places_.pipes / (std::to_string(pid_) + ".Shutdown.sock");
    // The start swallows a failure to open: look for the socket.
    Expect(fs::exists(shutdownSocket_), "ShutdownFactory::StartShutdownService",
           "the endpoint Shutdown of process " + std::to_string(pid_) + " is not listening (no " +
               shutdownSocket_.string() + ")");
    table_.Row("ShutdownFactory::StartShutdownService", {pidText_},
               {"listening on " + shutdownSocket_.filename().string()});
    subscribers_.push_back(std::make_unique<SubscriberProcess>(self_.string(), pid_, 1, "yes"));
    subscribers_.push_back(std::make_unique<SubscriberProcess>(self_.string(), pid_, 2, "no"));
    for (auto& subscriber : subscribers_) {
      std::string line = Call("subscribing " + subscriber->Describe(),
                              [&] { return subscriber->ReadLine(kProcessTimeout); });
      Expect(line.rfind("subscribed:", 0) == 0, subscriber->Describe(),
             "it printed \"" + line + "\" instead of subscribing");
      table_.Note(subscriber->Describe() + ": subscribed");
    }
  }

  // Log-on and the access questions.
  void ShowAccess() {
    table_.Section("Data service of process " + std::to_string(pid_) + ": project \"" + kProject +
                   "\"");
    Call("MirnDataService::LogOn",
         [&] { MirnDataService::LogOn(project_(), admin_(), password_(), author_()); });
    // LogOn reports nothing by design; the service's log-on table shows it
    // arrived.
    std::int64_t logOns = Call("MirnDataService::LogOn", [&] { return CountLogOns(database_); });
    Expect(logOns == 1, "MirnDataService::LogOn",
           "the data service recorded " + std::to_string(logOns) + " log-ons, expected 1");
    table_.Row("MirnDataService::LogOn", {"admin, author " + Quoted(kDemoAuthor), "(this process)"},
               {"returns nothing (swallows failures)", "the service recorded 1 log-on"});

    bool isAdmin = Call("MirnDataService::IsProjectAdmin", [&] {
      return MirnDataService::IsProjectAdmin(project_(), admin_(), password_(), pid_);
    });
    Expect(isAdmin, "MirnDataService::IsProjectAdmin", "admin is not an administrator");
    table_.Row("MirnDataService::IsProjectAdmin", {"admin, " + pidText_}, {YesNo(isAdmin)});
    bool adminRestricted = Call("MirnDataService::IsUserRestricted", [&] {
      return MirnDataService::IsUserRestricted(project_(), admin_(), password_(), pid_);
    });
    bool viewerRestricted = Call("MirnDataService::IsUserRestricted", [&] {
      return MirnDataService::IsUserRestricted(project_(), viewer_(), viewerPassword_(), pid_);
    });
    Expect(!adminRestricted && viewerRestricted, "MirnDataService::IsUserRestricted",
           "admin and viewer should be unrestricted and restricted");
    table_.Row("MirnDataService::IsUserRestricted", {"admin, " + pidText_},
               {YesNo(adminRestricted)});
    table_.Row("MirnDataService::IsUserRestricted", {"viewer, " + pidText_},
               {YesNo(viewerRestricted)});
    bool connects = Call("MirnDataService::IsDatabaseCanBeConnected", [&] {
      return MirnDataService::IsDatabaseCanBeConnected(project_(), admin_(), password_(), pid_);
    });
    Expect(connects, "MirnDataService::IsDatabaseCanBeConnected", "the database cannot be used");
    table_.Row("MirnDataService::IsDatabaseCanBeConnected", {"admin, " + pidText_},
               {YesNo(connects)});
    std::vector<std::string> authors = Call("MirnDataService::GetAuthors", [&] {
      return MirnDataService::GetAuthors(project_(), admin_(), password_(), pid_);
    });
    Expect(authors == summary_.authors, "MirnDataService::GetAuthors",
           "the authors differ from the demo project's");
    std::vector<std::string> authorLines = {std::to_string(authors.size()) + " authors"};
    for (const auto& name : authors) authorLines.push_back(name);
    table_.Row("MirnDataService::GetAuthors", {"admin, " + pidText_}, authorLines);
  }

  // Forecasts of one author, and the figures of one borehole's forecast.
  void ShowForecasts() {
    table_.Section("Forecasts of author \"" + std::string(kDemoAuthor) + "\"");
    auto templates = Call("MirnDataService::GetForecastTemplatesByAuthor", [&] {
      return MirnDataService::GetForecastTemplatesByAuthor(project_(), admin_(), password_(), pid_,
                                                           author_());
    });
    Expect(!templates.empty(), "MirnDataService::GetForecastTemplatesByAuthor",
           "the author has no templates");
    table_.Row("MirnDataService::GetForecastTemplatesByAuthor", {"author " + Quoted(kDemoAuthor)},
               Abbreviated(templates, "templates", ShowString));
    Arg templateName(templates.front().value);
    auto boreholes = Call("MirnDataService::GetBoreholeIdsWithForecast", [&] {
      return MirnDataService::GetBoreholeIdsWithForecast(project_(), admin_(), password_(), pid_,
                                                         templateName(), author_());
    });
    Expect(!boreholes.empty(), "MirnDataService::GetBoreholeIdsWithForecast",
           "no borehole has a forecast of template " + Quoted(templateName.value));
    table_.Row("MirnDataService::GetBoreholeIdsWithForecast",
               {"template " + Quoted(templateName.value)},
               Abbreviated(boreholes, "boreholes", [](int id) { return std::to_string(id); }));
    const int borehole = boreholes.front();
    const std::vector<std::string> single = {"borehole " + std::to_string(borehole),
                                             "template " + Quoted(templateName.value)};
    double eur = Call("MirnDataService::GetForecastEUR", [&] {
      return MirnDataService::GetForecastEUR(project_(), admin_(), password_(), pid_, borehole,
                                             templateName(), author_());
    });
    table_.Row("MirnDataService::GetForecastEUR", single, {FormatNumber(eur)});
    double reserve = Call("MirnDataService::GetForecastReserve", [&] {
      return MirnDataService::GetForecastReserve(project_(), admin_(), password_(), pid_, borehole,
                                                 templateName(), author_());
    });
    table_.Row("MirnDataService::GetForecastReserve", single, {FormatNumber(reserve)});
    std::string life = Call("MirnDataService::GetForecastLife", [&] {
      return MirnDataService::GetForecastLife(project_(), admin_(), password_(), pid_, borehole,
                                              templateName(), author_());
    });
    table_.Row("MirnDataService::GetForecastLife", single, {life + " (short date)"});
  }

  // The three lists of one named forecast.
  void ShowForecastLists() {
    Arg forecast(kNamedForecast);
    const std::vector<std::string> named = {"forecast " + Quoted(kNamedForecast)};
    auto eurList = Call("MirnDataService::GetForecastEURList", [&] {
      return MirnDataService::GetForecastEURList(project_(), admin_(), password_(), pid_,
                                                 forecast(), author_());
    });
    table_.Row("MirnDataService::GetForecastEURList", named,
               Abbreviated(eurList, "records", ShowDouble));
    auto reserveList = Call("MirnDataService::GetForecastReserveList", [&] {
      return MirnDataService::GetForecastReserveList(project_(), admin_(), password_(), pid_,
                                                     forecast(), author_());
    });
    table_.Row("MirnDataService::GetForecastReserveList", named,
               Abbreviated(reserveList, "records", ShowDouble));
    auto lifeList = Call("MirnDataService::GetForecastLifeList", [&] {
      return MirnDataService::GetForecastLifeList(project_(), admin_(), password_(), pid_,
                                                  forecast(), author_());
    });
    table_.Row("MirnDataService::GetForecastLifeList", named,
               Abbreviated(lifeList, "records", ShowString));
    Expect(eurList.size() == reserveList.size() && eurList.size() == lifeList.size() &&
               !eurList.empty(),
           "MirnDataService::GetForecastLifeList",
           "the three lists of " + Quoted(kNamedForecast) + " differ in length");
  }

  void ShowSettingsAndCredentials() {
    table_.Section("Settings and credentials");
    authorPath_ = places_.work / "authors";
    fs::create_directories(authorPath_ / kDemoAuthor);
    Call("SetAuthorPath", [&] { Norv::IO::Interop::SetAuthorPath(authorPath_.c_str()); });
    std::string pathNow = IO::AuthorSettings::Default().Path().ToUtf8();
    Expect(pathNow == authorPath_.string(), "SetAuthorPath",
           "the author path reads back as " + Quoted(pathNow));
    table_.Row("SetAuthorPath", {authorPath_.string()}, {"author path is now", pathNow});
    std::string encrypted =
        Call("EncryptPassword", [&] { return Norv::Interop::EncryptPassword(password_()); });
    std::string decrypted = Call("EncryptPassword", [&] {
      return Security::CustomPassword::DecryptPassword(ServiceString::FromUtf8(encrypted)).ToUtf8();
    });
    Expect(decrypted == kAdminPassword, "EncryptPassword",
           "the text does not decrypt to the password");
    table_.Row(
        "EncryptPassword", {Quoted(kAdminPassword)},
        {encrypted.substr(0, 24) + "... (" + std::to_string(encrypted.size()) + " chars)",
         "decrypts to the password (key in " + (places_.work / "config" / "norv").string() + ")"});
    Arg encryptedArg(encrypted);
    bool adminWithEncrypted = Call("MirnDataService::IsProjectAdmin", [&] {
      return MirnDataService::IsProjectAdmin(project_(), admin_(), encryptedArg(), pid_);
    });
    Expect(adminWithEncrypted, "MirnDataService::IsProjectAdmin",
           "the data service refused the encrypted password");
    table_.Row("MirnDataService::IsProjectAdmin", {"admin, encrypted password"},
               {YesNo(adminWithEncrypted)});
  }

  // The author's preferred TD list: written, saved over, read back.
  void ShowPreferredTDList() {
    const fs::path authorDir = authorPath_ / kDemoAuthor;
    table_.Section("Preferred TD list in " + authorDir.string());
    Arg dir(authorDir.string());
    WritePreferredTDList(dir);
    ReadPreferredTDList(dir);
  }

  void WritePreferredTDList(Arg& dir) {
    bool existsBefore = Call("MirnDataService::PreferredTDListExist",
                             [&] { return MirnDataService::PreferredTDListExist(dir()); });
    Expect(!existsBefore, "MirnDataService::PreferredTDListExist", "a list exists already");
    table_.Row("MirnDataService::PreferredTDListExist", {"(empty directory)"},
               {YesNo(existsBefore)});
    const std::map<int, int> firstPairs = {{10001, 3}, {10002, 1}, {10004, 2}};
    const int firstLastBorehole = 10002, firstLastChart = 1;
    Call("MirnDataService::SetAuthorPreferredTDMode", [&] {
      MirnDataService::SetAuthorPreferredTDMode(dir(), MirnDataService::kPreferredTDModeTwo,
                                                &firstPairs, &firstLastBorehole, &firstLastChart);
    });
    table_.Row("MirnDataService::SetAuthorPreferredTDMode",
               {"mode 2, " + Pairs(firstPairs), "last borehole 10002, chart 1"},
               {"returns nothing; list created"});
    bool existsAfter = Call("MirnDataService::PreferredTDListExist",
                            [&] { return MirnDataService::PreferredTDListExist(dir()); });
    Expect(existsAfter, "MirnDataService::PreferredTDListExist", "no list after setting the mode");
    table_.Row("MirnDataService::PreferredTDListExist", {}, {YesNo(existsAfter)});
    bool saved = Call("MirnDataService::SaveExistingPreferredTDList", [&] {
      return MirnDataService::SaveExistingPreferredTDList(dir(), kSavedPairs, kSavedLastBorehole,
                                                          kSavedLastChart);
    });
    Expect(saved, "MirnDataService::SaveExistingPreferredTDList",
           "the existing list was not saved");
    table_.Row("MirnDataService::SaveExistingPreferredTDList",
               {Pairs(kSavedPairs), "last borehole 10007, chart 5"}, {YesNo(saved)});
  }

  void ReadPreferredTDList(Arg& dir) {
    std::map<int, int> readPairs;
    Call("MirnDataService::GetPreferredTDList",
         [&] { MirnDataService::GetPreferredTDList(dir(), readPairs); });
    Expect(readPairs == kSavedPairs, "MirnDataService::GetPreferredTDList",
           "read " + Pairs(readPairs) + ", saved " + Pairs(kSavedPairs));
    table_.Row("MirnDataService::GetPreferredTDList", {}, {Pairs(readPairs)});
    int lastBorehole = 0, lastChart = 0;
    Call("MirnDataService::GetPreferredTDLastBoreholeAndTDId", [&] {
      MirnDataService::GetPreferredTDLastBoreholeAndTDId(dir(), lastBorehole, lastChart);
    });
    Expect(lastBorehole == kSavedLastBorehole && lastChart == kSavedLastChart,
           "MirnDataService::GetPreferredTDLastBoreholeAndTDId",
           "read " + std::to_string(lastBorehole) + " and " + std::to_string(lastChart));
    table_.Row(
        "MirnDataService::GetPreferredTDLastBoreholeAndTDId", {},
        {"last borehole " + std::to_string(lastBorehole) + ", chart " + std::to_string(lastChart)});
    auto mode = Call("MirnDataService::GetAuthorPreferredTDMode",
                     [&] { return MirnDataService::GetAuthorPreferredTDMode(dir()); });
    Expect(mode == MirnDataService::kPreferredTDModeTwo,
           "MirnDataService::GetAuthorPreferredTDMode",
           "read mode " + std::to_string(static_cast<int>(mode)) + ", the save should keep mode 2");
    table_.Row("MirnDataService::GetAuthorPreferredTDMode", {},
               {"mode " + std::to_string(static_cast<int>(mode)) + " (kept by the save)"});
  }

  // The launcher of this process and the companion tools.
  void ShowLauncher() {
    table_.Section("Launcher of process " + std::to_string(pid_) + " (companion tools)");
    Call("Halvane::LogOn", [&] { Halvane::LogOn(project_(), admin_(), password_(), author_()); });
    table_.Row("Halvane::LogOn", {"admin, author " + Quoted(kDemoAuthor), "(this process)"},
               {"returns nothing (swallows failures)"});
    for (const Tool& tool : kTools) LaunchTool(tool);
    Expect(launcher_->Service().WaitUntilNoRunningTools(kProcessTimeout), "Halvane::LaunchOrbisk",
           "the companion tools have not ended");
    table_.Note("all three tools ended and were reaped");
  }

  struct Tool {
    const char* call;
    const char* name;
    const char* report;
    void (*launch)();
  };
  static constexpr Tool kTools[] = {
      {"Halvane::LaunchTrasko", "Trasko", "trasko-report.txt", &Halvane::LaunchTrasko},
      {"Halvane::LaunchWendal", "Wendal", "wendal-report.txt", &Halvane::LaunchWendal},
      {"Halvane::LaunchOrbisk", "Orbisk", "orbisk-report.txt", &Halvane::LaunchOrbisk},
  };

  void LaunchTool(const Tool& tool) {
    Call(tool.call, [&] { tool.launch(); });
    CompanionReport report = AwaitReport(places_.work / tool.report, tool.call);
    // The log-on reached the launcher exactly when the tool got it.
    Expect(
        report.environment["NORV_TOOL"] == tool.name && report.environment["NORV_USER"] == kAdmin &&
            report.environment["NORV_AUTHOR"] == kDemoAuthor &&
            report.standardInput == kAdminPassword,
        tool.call,
        "the tool did not receive the log-on (see " + (places_.work / tool.report).string() + ")");
    table_.Row(tool.call, {},
               {"norv-companion-demo ran as process " + report.pid,
                "NORV_TOOL=" + report.environment["NORV_TOOL"] +
                    ", NORV_USER=" + report.environment["NORV_USER"],
                "password received on standard input"});
  }

  // Shutting down: ask, force, stop.
  void ShutDown() {
    table_.Section("Shutting down");
    AskSubscribers();
    ForceSubscribers();
    Call("ShutdownFactory::StopShutdownService", [] { ShutdownFactory::StopShutdownService(); });
    shutdownGuard_.active = false;
    Expect(!fs::exists(shutdownSocket_), "ShutdownFactory::StopShutdownService",
           shutdownSocket_.string() + " is still there");
    table_.Row("ShutdownFactory::StopShutdownService", {}, {"service closed, socket removed"});
  }

  void AskSubscribers() {
    bool agreed = Call("ShutdownFactory::RequestStopShutdownService",
                       [] { return ShutdownFactory::RequestStopShutdownService(); });
    table_.Row("ShutdownFactory::RequestStopShutdownService", {}, {YesNo(agreed)});
    for (auto& subscriber : subscribers_) {
      std::string line = Call("ShutdownFactory::RequestStopShutdownService",
                              [&] { return subscriber->ReadLine(kProcessTimeout); });
      table_.Note(subscriber->Describe() + ": " + line);
    }
    Expect(!agreed, "ShutdownFactory::RequestStopShutdownService",
           "answered true although one subscriber refuses");
  }

  void ForceSubscribers() {
    Call("ShutdownFactory::ForceStopShutdownService",
         [] { ShutdownFactory::ForceStopShutdownService(); });
    table_.Row("ShutdownFactory::ForceStopShutdownService", {}, {"returns nothing"});
    for (auto& subscriber : subscribers_) {
      std::string line = Call("ShutdownFactory::ForceStopShutdownService",
                              [&] { return subscriber->ReadLine(kProcessTimeout); });
      int status = Call("ShutdownFactory::ForceStopShutdownService",
                        [&] { return subscriber->Wait(kProcessTimeout); });
      Expect(status == 0, "ShutdownFactory::ForceStopShutdownService",
             subscriber->Describe() + " exited with status " + std::to_string(status));
      table_.Note(subscriber->Describe() + ": " + line + ", exited with status 0");
    }
  }

  // Everything the demo started stops here.
  void StopEverything() {
    Call("stopping the launcher", [&] { launcher_->Stop(); });
    Call("stopping the data service", [&] { dataHost_->Close(); });
    dataHost_.reset();
    std::vector<std::string> left = EndpointFilesOf(places_.pipes, pid_);
    if (!left.empty()) {
      throw DemoFailure("norvctl demo",
                        "endpoint files left in " + places_.pipes.string() + ": " + left.front());
    }
    std::printf(
        "\nAll calls succeeded. Subscribers reaped, servers stopped, no socket or lock file of "
        "process %d left in %s.\n",
        static_cast<int>(pid_), places_.pipes.c_str());
    if (!places_.scratch) {
      std::printf("Kept in %s: the project database, the author directory and the tool reports.\n",
                  places_.work.c_str());
    }
    std::fflush(stdout);
  }

  static std::string ShowDouble(const NativeDoubleKeyValuePair& row) {
    return std::to_string(row.key) + ": " + FormatNumber(row.value);
  }
  static std::string ShowString(const NativeStringKeyValuePair& row) {
    return std::to_string(row.key) + ": " + row.value;
  }

  // What SaveExistingPreferredTDList writes over the first list.
  inline static const std::map<int, int> kSavedPairs = {
      {10001, 3}, {10002, 1}, {10004, 2}, {10007, 5}};
  static constexpr int kSavedLastBorehole = 10007, kSavedLastChart = 5;

  Places places_;
  const std::int32_t pid_ = static_cast<std::int32_t>(::getpid());
  const std::string pidText_ = "pid " + std::to_string(pid_);
  fs::path database_;
  fs::path self_;
  fs::path companion_;
  fs::path authorPath_;
  fs::path shutdownSocket_;
  Servers::DemoProjectSummary summary_;
  std::unique_ptr<ServiceModel::NamedPipeServiceHost> dataHost_;
  std::optional<Servers::ReferenceLauncher> launcher_;
  Table table_{stdout};
  Arg project_{kProject}, admin_{kAdmin}, password_{kAdminPassword}, viewer_{kViewer},
      viewerPassword_{kViewerPassword}, author_{kDemoAuthor};
  ShutdownServiceGuard shutdownGuard_;
  std::vector<std::unique_ptr<SubscriberProcess>> subscribers_;
};

void RunDemo(const DemoOptions& options) { DemoRun(options).Run(); }

}  // namespace

void AddDemoCommands(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* demo = app.add_subcommand(
      "demo",
      "Tour every exported function: creates a demo project, serves the reference data service "
      "and launcher for this process, starts the shutdown service with two subscriber "
      "processes, and prints each call with what it sent and got. Exits non-zero naming the "
      "first call that failed.");
  demo->add_option("--dir", options->dir,
                   "Work in DIR (new or empty; kept afterwards) instead of a temporary "
                   "directory that is removed");
  demo->callback([options] {
    Guarded([&] {
      try {
        RunDemo(*options);
      } catch (const DemoFailure&) {
        throw;
      } catch (const std::exception& e) {
        throw std::runtime_error(std::string("demo: ") + e.what());
      }
    });
  });
}

}  // namespace Norv::Ctl
