// norvctl serve data-service / project create-demo / data ...: the data
// service.
//   serve data-service  hosts the reference data service on a project
//                       database for --pid (default: this process) until
//                       SIGINT or SIGTERM.
//   project create-demo writes a demo project database.
//   data <query>        calls one data-service member of the bridge, exactly
//                       as a host application would, on the data service of
//                       process --pid, and prints the answer as a table or
//                       JSON. Arguments are passed as bytes and decoded by
//                       the ANSI code page (NORV_ANSI_CODEPAGE); answers are
//                       the bridge's bytes, shown as Latin-1.
//   data logon          calls LogOn on the endpoint of --pid through the
//                       component directly: the bridge's LogOn only reaches
//                       the process it runs in and reports nothing.
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "norv/interop/MirnDataService.h"
#include "platform/base/UniqueFd.h"
#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/DemoProject.h"
#include "servers/dataservice/SqliteDataService.h"
#include "services/NamedPipeServiceHost.h"
#include "tools/norvctl/Commands.h"
#include "tools/norvctl/Secrets.h"
#include "tools/norvctl/StopSignals.h"

namespace Norv::Ctl {
namespace {

using Norv::MirnDataService::Interop::MirnDataService;
using ServiceModel::NamedPipeServiceHost;
using ServiceModel::TypeOf;
using ServiceModel::Contracts::Service::IDataService;

// ---- Serving.

struct DataServiceServeOptions {
  std::string database;
  std::int32_t pid = 0;
};

void ServeDataService(const DataServiceServeOptions& options) {
  // Blocked before the host starts its threads, so that none of them takes
  // the signal instead of the signalfd.
  StopSignals stopSignals("norvctl serve data-service");
  std::int32_t pid = options.pid > 0 ? options.pid : static_cast<std::int32_t>(::getpid());
  auto service = std::make_shared<Servers::SqliteDataService>(options.database);
  service->CheckDatabase();
  std::unique_ptr<NamedPipeServiceHost> host = Servers::NewDataServiceHost(service, pid);
  host->Open();
  std::printf(
      "serving %s for process %d\n  endpoint %s\n  database %s\nstop with SIGINT or "
      "SIGTERM\n",
      std::string(IDataService::kContractName).c_str(), static_cast<int>(pid),
      host->Description().Endpoints().front()->Address().c_str(), service->Database().c_str());
  std::fflush(stdout);
  const std::string signal = stopSignals.Wait();
  host->Close();
  std::printf("stopped on %s\n", signal.c_str());
  std::fflush(stdout);
}

// ---- The demo project.

struct CreateDemoOptions {
  std::string file;
  Servers::DemoProjectOptions project;
};

void CreateDemo(const CreateDemoOptions& options) {
  Servers::DemoProjectSummary summary = Servers::CreateDemoProject(options.file, options.project);
  std::printf("created demo project \"%s\" in %s\n", summary.projectPath.c_str(),
              options.file.c_str());
  std::printf("  %zu authors, %d forecast templates, %d boreholes, %d forecasts\n",
              summary.authors.size(), summary.templates, summary.boreholes, summary.forecasts);
  for (const auto& named : summary.namedForecasts) {
    std::printf("  named forecast \"%s\" of \"%s\": %d boreholes\n", named.name.c_str(),
                named.author.c_str(), named.entries);
  }
  std::printf("  administrator:   %s\n", summary.adminName.c_str());
  std::printf("  restricted user: %s\n", summary.restrictedName.c_str());
  if (summary.adminPasswordGenerated || summary.restrictedPasswordGenerated) {
    std::printf("generated passwords (shown only now):\n");
    if (summary.adminPasswordGenerated) {
      std::printf("  %s: %s\n", summary.adminName.c_str(), summary.adminPassword.c_str());
    }
    if (summary.restrictedPasswordGenerated) {
      std::printf("  %s: %s\n", summary.restrictedName.c_str(), summary.restrictedPassword.c_str());
    }
  }
}

// ---- Queries.

using Password = SecretString;

void ReadLine(int fd, std::string& line) {
  char c;
  while (true) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "reading the password");
    if (n == 0 || c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

// The first line of standard input, or what the user types at the terminal.
void ReadPassword(bool fromStdin, const std::string& user, Password& password) {
  if (fromStdin) {
    ReadLine(STDIN_FILENO, password.text);
    return;
  }
  const Platform::internal::UniqueFd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!tty.Valid()) {
    throw std::runtime_error(
        "there is no terminal to ask for the password; pass it on standard input with "
        "--password-stdin");
  }
  std::string prompt = "password of " + user + ": ";
  if (::write(tty.Get(), prompt.data(), prompt.size()) < 0) {
    throw std::system_error(errno, std::generic_category(), "writing the password prompt");
  }
  {
    EchoOff quiet(tty.Get());
    ReadLine(tty.Get(), password.text);
  }
  if (::write(tty.Get(), "\n", 1) < 0) {
    // The prompt line stays open; the password was read all the same.
  }
}

struct QueryOptions {
  std::int32_t pid = 0;
  std::string project;
  std::string user;
  bool passwordFromStdin = false;
  bool json = false;
  std::int32_t boreholeId = 0;
  std::string templateName;
  std::string forecastName;
  std::string author;
};

// The bridge's bytes as UTF-8 text, each byte read as Latin-1.
std::string Display(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else {
      text.push_back(static_cast<char>(0xC0 | (c >> 6)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return text;
}

std::string Latin1Json(const std::string& bytes) {
  std::string text = "\"";
  for (char c : Display(bytes)) {
    switch (c) {
      case '"':
        text += "\\\"";
        break;
      case '\\':
        text += "\\\\";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
          text += escape;
        } else {
          text.push_back(c);
        }
    }
  }
  return text + "\"";
}

// The shortest text that reads back as the same double.
std::string Number(double value) {
  char text[64];
  auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end);
}

void PrintBool(const QueryOptions& options, const char* question, bool answer) {
  if (options.json) {
    std::printf("%s\n", answer ? "true" : "false");
  } else {
    std::printf("%s: %s\n", question, answer ? "yes" : "no");
  }
}

void PrintDouble(const QueryOptions& options, double value) {
  std::printf("%s\n", Number(value).c_str());
}

void PrintText(const QueryOptions& options, const std::string& value) {
  std::printf("%s\n", options.json ? Latin1Json(value).c_str() : Display(value).c_str());
}

void PrintStrings(const QueryOptions& options, const std::vector<std::string>& values) {
  if (options.json) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
      text += (i ? ", " : "") + Latin1Json(values[i]);
    }
    std::printf("%s]\n", text.c_str());
    return;
  }
  for (const auto& value : values) std::printf("%s\n", Display(value).c_str());
  std::fprintf(stderr, "(%zu)\n", values.size());
}

void PrintInts(const QueryOptions& options, const std::vector<int>& values) {
  if (options.json) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
      text += (i ? ", " : "") + std::to_string(values[i]);
    }
    std::printf("%s]\n", text.c_str());
    return;
  }
  for (int value : values) std::printf("%d\n", value);
  std::fprintf(stderr, "(%zu)\n", values.size());
}

template <class Pair>
void PrintPairs(const QueryOptions& options, const char* valueHeading,
                const std::vector<Pair>& pairs) {
  auto valueText = [&](const Pair& pair) {
    if constexpr (std::is_same_v<decltype(pair.value), double>) {
      return Number(pair.value);
    } else {
      return options.json ? Latin1Json(pair.value) : Display(pair.value);
    }
  };
  if (options.json) {
    std::string text = "[";
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      text += std::string(i ? ", " : "") + "{\"key\": " + std::to_string(pairs[i].key) +
              ", \"value\": " + valueText(pairs[i]) + "}";
    }
    std::printf("%s]\n", text.c_str());
    return;
  }
  std::printf("%11s  %s\n", "key", valueHeading);
  for (const Pair& pair : pairs) std::printf("%11d  %s\n", pair.key, valueText(pair).c_str());
  std::fprintf(stderr, "(%zu)\n", pairs.size());
}

// Runs `query` with the credentials as the bridge's char* arguments.
void RunQuery(const QueryOptions& options,
              const std::function<void(char*, char*, char*, int)>& query) {
  Password password;
  ReadPassword(options.passwordFromStdin, options.user, password);
  std::string project = options.project;
  std::string user = options.user;
  query(project.data(), user.data(), password.text.data(), options.pid);
}

void LogOnDirectly(const QueryOptions& options) {
  Password password;
  ReadPassword(options.passwordFromStdin, options.user, password);
  NamedPipeServiceHost::GetSingleChannel<IDataService>(options.pid, TypeOf<IDataService>())
      ->LogOn(ServiceString::FromUtf8(options.project), ServiceString::FromUtf8(options.user),
              ServiceString::FromUtf8(password.text), ServiceString::FromUtf8(options.author));
  std::printf("logged on at the data service of process %d\n", static_cast<int>(options.pid));
}

enum Needs { kCredentials = 0, kBorehole = 1, kTemplate = 2, kForecast = 4, kAuthor = 8 };

CLI::App* AddQuery(CLI::App& data, const std::string& name, const std::string& description,
                   int needs, std::function<void(const QueryOptions&)> run) {
  auto options = std::make_shared<QueryOptions>();
  CLI::App* command = data.add_subcommand(name, description);
  command->add_option("--pid", options->pid, "Process whose data service to call")
      ->required()
      ->check(CLI::PositiveNumber);
  command->add_option("--project", options->project, "Project path")->required();
  command->add_option("--user", options->user, "User name")->required();
  command->add_flag("--password-stdin", options->passwordFromStdin,
                    "Read the password from the first line of standard input (default: ask at "
                    "the terminal)");
  command->add_flag("--json", options->json, "Print the answer as JSON");
  if (needs & kBorehole) {
    command->add_option("--borehole", options->boreholeId, "Borehole id")->required();
  }
  if (needs & kTemplate) {
    command->add_option("--template", options->templateName, "Forecast template")->required();
  }
  if (needs & kForecast) {
    command->add_option("--forecast", options->forecastName, "Named forecast")->required();
  }
  if (needs & kAuthor) command->add_option("--author", options->author, "Author")->required();
  command->callback([options, run] { Guarded([&] { run(*options); }); });
  return command;
}

void AddServeDataService(CLI::App& serve) {
  auto serveOptions = std::make_shared<DataServiceServeOptions>();
  CLI::App* serveData = serve.add_subcommand(
      "data-service", "Serve the data service endpoint from a project database");
  serveData->add_option("--db", serveOptions->database, "Project database file")
      ->required()
      ->check(CLI::ExistingFile);
  serveData
      ->add_option("--pid", serveOptions->pid,
                   "Process whose endpoint to serve (default: this process)")
      ->check(CLI::PositiveNumber);
  serveData->callback([serveOptions] { Guarded([&] { ServeDataService(*serveOptions); }); });
}

void AddCreateDemoProject(CLI::App& project) {
  auto demo = std::make_shared<CreateDemoOptions>();
  CLI::App* createDemo = project.add_subcommand(
      "create-demo",
      "Write a demo project: authors, templates, boreholes with forecasts, named forecasts, "
      "an administrator and a restricted user. Passwords not given are generated and printed "
      "once.");
  createDemo->add_option("FILE", demo->file, "New project database file (must not exist)")
      ->required();
  createDemo->add_option("--project", demo->project.projectPath, "Project path")
      ->capture_default_str();
  createDemo->add_option("--admin", demo->project.adminName, "Administrator's user name")
      ->capture_default_str();
  createDemo->add_option("--admin-password", demo->project.adminPassword,
                         "Administrator's password (default: generated)");
  createDemo->add_option("--restricted", demo->project.restrictedName, "Restricted user's name")
      ->capture_default_str();
  createDemo->add_option("--restricted-password", demo->project.restrictedPassword,
                         "Restricted user's password (default: generated)");
  createDemo->add_option("--boreholes", demo->project.boreholes, "Number of boreholes")
      ->capture_default_str()
      ->check(CLI::Range(1, 100000));
  createDemo->add_option("--seed", demo->project.seed, "Seed of the generated figures")
      ->capture_default_str();
  createDemo->add_flag_callback(
      "--weak-hashes", [demo] { demo->project.cost = Servers::PasswordHashCost::kMinimal; },
      "Hash the passwords at libsodium's least cost (for tests only)");
  createDemo->callback([demo] { Guarded([&] { CreateDemo(*demo); }); });
}

// The yes-or-no questions and the authors: credentials only.
void AddAccessQueries(CLI::App& data) {
  AddQuery(data, "authors", "GetAuthors: the project's authors", kCredentials, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      PrintStrings(o, MirnDataService::GetAuthors(p, u, w, pid));
    });
  });
  AddQuery(data, "is-admin", "IsProjectAdmin", kCredentials, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      PrintBool(o, "project administrator", MirnDataService::IsProjectAdmin(p, u, w, pid));
    });
  });
  AddQuery(data, "is-restricted", "IsUserRestricted", kCredentials, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      PrintBool(o, "restricted user", MirnDataService::IsUserRestricted(p, u, w, pid));
    });
  });
  AddQuery(data, "can-connect", "IsDatabaseCanBeConnected", kCredentials, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      PrintBool(o, "database can be connected",
                MirnDataService::IsDatabaseCanBeConnected(p, u, w, pid));
    });
  });
}

// The figures of one borehole's forecast.
void AddForecastQueries(CLI::App& data) {
  const int single = kBorehole | kTemplate | kAuthor;
  AddQuery(data, "forecast-eur", "GetForecastEUR of a borehole", single, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      std::string t = o.templateName, a = o.author;
      PrintDouble(o,
                  MirnDataService::GetForecastEUR(p, u, w, pid, o.boreholeId, t.data(), a.data()));
    });
  });
  AddQuery(data, "forecast-reserve", "GetForecastReserve of a borehole", single, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      std::string t = o.templateName, a = o.author;
      PrintDouble(
          o, MirnDataService::GetForecastReserve(p, u, w, pid, o.boreholeId, t.data(), a.data()));
    });
  });
  AddQuery(data, "forecast-life", "GetForecastLife of a borehole (short date)", single,
           [](const auto& o) {
             RunQuery(o, [&](char* p, char* u, char* w, int pid) {
               std::string t = o.templateName, a = o.author;
               PrintText(o, MirnDataService::GetForecastLife(p, u, w, pid, o.boreholeId, t.data(),
                                                             a.data()));
             });
           });
}

// The lists of one named forecast.
void AddForecastListQueries(CLI::App& data) {
  const int list = kForecast | kAuthor;
  AddQuery(data, "eur-list", "GetForecastEURList of a named forecast", list, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      std::string f = o.forecastName, a = o.author;
      PrintPairs(o, "EUR", MirnDataService::GetForecastEURList(p, u, w, pid, f.data(), a.data()));
    });
  });
  AddQuery(
      data, "reserve-list", "GetForecastReserveList of a named forecast", list, [](const auto& o) {
        RunQuery(o, [&](char* p, char* u, char* w, int pid) {
          std::string f = o.forecastName, a = o.author;
          PrintPairs(o, "reserve",
                     MirnDataService::GetForecastReserveList(p, u, w, pid, f.data(), a.data()));
        });
      });
  AddQuery(data, "life-list", "GetForecastLifeList of a named forecast (short dates)", list,
           [](const auto& o) {
             RunQuery(o, [&](char* p, char* u, char* w, int pid) {
               std::string f = o.forecastName, a = o.author;
               PrintPairs(o, "life",
                          MirnDataService::GetForecastLifeList(p, u, w, pid, f.data(), a.data()));
             });
           });
}

void AddCatalogueQueries(CLI::App& data) {
  AddQuery(data, "boreholes-with-forecast",
           "GetBoreholeIdsWithForecast: boreholes with a forecast of a template",
           kTemplate | kAuthor, [](const auto& o) {
             RunQuery(o, [&](char* p, char* u, char* w, int pid) {
               std::string t = o.templateName, a = o.author;
               PrintInts(o, MirnDataService::GetBoreholeIdsWithForecast(p, u, w, pid, t.data(),
                                                                        a.data()));
             });
           });
  AddQuery(data, "templates", "GetForecastTemplatesByAuthor", kAuthor, [](const auto& o) {
    RunQuery(o, [&](char* p, char* u, char* w, int pid) {
      std::string a = o.author;
      PrintPairs(o, "template",
                 MirnDataService::GetForecastTemplatesByAuthor(p, u, w, pid, a.data()));
    });
  });
  AddQuery(data, "logon",
           "LogOn at the data service of process --pid, through the service component directly "
           "(the bridge's LogOn only reaches its own process and reports nothing); reports "
           "failures. Strings are taken as UTF-8.",
           kAuthor, [](const auto& o) { LogOnDirectly(o); });
}

}  // namespace

void AddDataCommands(CLI::App& app) {
  AddServeDataService(GetOrAddSubcommand(
      app, "serve", "Run a reference server in this process until SIGINT or SIGTERM"));
  AddCreateDemoProject(GetOrAddSubcommand(app, "project", "Project databases"));
  CLI::App& data = GetOrAddSubcommand(
      app, "data",
      "Call the data-service members of the bridge on the data service of process --pid");
  AddAccessQueries(data);
  AddForecastQueries(data);
  AddForecastListQueries(data);
  AddCatalogueQueries(data);
}

}  // namespace Norv::Ctl
