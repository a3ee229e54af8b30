// norvctl serve launcher / norvctl launcher: the application launcher.
//   serve launcher   runs the reference launcher for --pid (default: this
//                    process) until SIGINT or SIGTERM, starting the
//                    configured commands for Trasko, Wendal and Orbisk.
//   launcher ...     calls the launcher endpoint of process --pid directly
//                    through the service component. The Halvane bridge only
//                    ever reaches the launcher of the process it runs in, so
//                    a one-shot tool cannot use it to reach anyone else's;
//                    these subcommands are a diagnostic for whoever runs a
//                    launcher, and unlike the bridge's LogOn they report
//                    every failure.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include "servers/launcher/ReferenceLauncher.h"
#include "services/NamedPipeServiceHost.h"
#include "tools/norvctl/Commands.h"
#include "tools/norvctl/StopSignals.h"

namespace Norv::Ctl {
namespace {

using Norv::Servers::CompanionTool;
using Norv::Servers::CompanionToolName;
using Norv::Servers::ReferenceLauncher;
using Norv::Servers::ReferenceLauncherOptions;
using Norv::Servers::SplitCommand;
using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::Contracts::Service::IApplicationLauncher;

struct LauncherServeOptions {
  std::int32_t pid = 0;
  std::string trasko;
  std::string wendal;
  std::string orbisk;
};

void ServeLauncher(const LauncherServeOptions& options) {
  // Blocked before the launcher starts any thread, so that no thread of the
  // host takes the signal instead of the signalfd.
  StopSignals stopSignals("norvctl serve launcher");
  ReferenceLauncherOptions launcherOptions;
  launcherOptions.pid = options.pid;
  launcherOptions.trasko = SplitCommand(options.trasko);
  launcherOptions.wendal = SplitCommand(options.wendal);
  launcherOptions.orbisk = SplitCommand(options.orbisk);
  ReferenceLauncher launcher(std::move(launcherOptions));
  launcher.Start();
  std::printf("serving ApplicationLauncher for process %d; stop with SIGINT or SIGTERM\n",
              static_cast<int>(launcher.Pid()));
  std::fflush(stdout);
  const std::string signal = stopSignals.Wait();
  launcher.Stop();
  std::printf("stopped on %s\n", signal.c_str());
  std::fflush(stdout);
}

std::shared_ptr<IApplicationLauncher> LauncherOf(std::int32_t pid) {
  return NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(pid,
                                                                      ReferenceLauncher::kEndpoint);
}

struct LogOnOptions {
  std::int32_t pid = 0;
  std::string projectPath;
  std::string user;
  std::string author;
  bool passwordFromStdin = false;
};

void LogOn(const LogOnOptions& options) {
  std::string password;
  if (options.passwordFromStdin && !std::getline(std::cin, password) && !std::cin.eof()) {
    throw std::runtime_error("norvctl launcher logon: cannot read the password from stdin");
  }
  LauncherOf(options.pid)
      ->LogOn(ServiceString::FromUtf8(options.projectPath), ServiceString::FromUtf8(options.user),
              ServiceString::FromUtf8(password), ServiceString::FromUtf8(options.author));
  std::printf("logged on at the launcher of process %d\n", static_cast<int>(options.pid));
}

void Launch(std::int32_t pid, CompanionTool tool) {
  std::shared_ptr<IApplicationLauncher> launcher = LauncherOf(pid);
  switch (tool) {
    case CompanionTool::kTrasko:
      launcher->LaunchTrasko();
      break;
    case CompanionTool::kWendal:
      launcher->LaunchWendal();
      break;
    case CompanionTool::kOrbisk:
      launcher->LaunchOrbisk();
      break;
  }
  std::printf("%s started by the launcher of process %d\n",
              std::string(CompanionToolName(tool)).c_str(), static_cast<int>(pid));
}

}  // namespace

void AddLauncherCommands(CLI::App& app) {
  CLI::App& serve = GetOrAddSubcommand(
      app, "serve", "Run a reference server in this process until SIGINT or SIGTERM");
  auto serveOptions = std::make_shared<LauncherServeOptions>();
  CLI::App* serveLauncher = serve.add_subcommand(
      "launcher",
      "Serve the endpoint ApplicationLauncher and start the configured companion tools. A "
      "command is a program and its arguments separated by blanks (no quoting). A tool gets "
      "the log-on in NORV_PROJECT_PATH, NORV_USER and NORV_AUTHOR, and the password on its "
      "standard input.");
  serveLauncher
      ->add_option("--pid", serveOptions->pid,
                   "Process whose endpoint to serve (default: this process)")
      ->check(CLI::PositiveNumber);
  serveLauncher->add_option("--trasko", serveOptions->trasko, "Command that starts Trasko");
  serveLauncher->add_option("--wendal", serveOptions->wendal, "Command that starts Wendal");
  serveLauncher->add_option("--orbisk", serveOptions->orbisk, "Command that starts Orbisk");
  serveLauncher->callback([serveOptions] { Guarded([&] { ServeLauncher(*serveOptions); }); });

  CLI::App& launcher = GetOrAddSubcommand(
      app, "launcher",
      "Call the launcher endpoint of process --pid directly (a diagnostic: the Halvane "
      "bridge only reaches the launcher of its own process)");

  auto logOnOptions = std::make_shared<LogOnOptions>();
  CLI::App* logOn = launcher.add_subcommand(
      "logon", "Log on at the launcher of process --pid; unlike the bridge, report failures");
  logOn->add_option("--pid", logOnOptions->pid, "Process whose launcher to call")
      ->required()
      ->check(CLI::PositiveNumber);
  logOn->add_option("--project", logOnOptions->projectPath, "Project path (UTF-8)");
  logOn->add_option("--user", logOnOptions->user, "User name (UTF-8)");
  logOn->add_option("--author", logOnOptions->author, "Author (UTF-8)");
  logOn->add_flag("--password-stdin", logOnOptions->passwordFromStdin,
                  "Read the password from the first line of standard input (default: empty)");
  logOn->callback([logOnOptions] { Guarded([&] { LogOn(*logOnOptions); }); });

  for (CompanionTool tool :
       {CompanionTool::kTrasko, CompanionTool::kWendal, CompanionTool::kOrbisk}) {
    const std::string name(CompanionToolName(tool));
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto pid = std::make_shared<std::int32_t>(0);
    CLI::App* launch =
        launcher.add_subcommand(lower, "Ask the launcher of process --pid to start " + name);
    launch->add_option("--pid", *pid, "Process whose launcher to call")
        ->required()
        ->check(CLI::PositiveNumber);
    launch->callback([pid, tool] { Guarded([&] { Launch(*pid, tool); }); });
  }
}

}  // namespace Norv::Ctl
