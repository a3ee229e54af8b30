// How norvctl's subcommands join the tool: each area's file defines a
// function adding its subcommands to the application; main() lists them, in
// the order --help shows them. Single-threaded: used while main() parses.
#ifndef NORV_TOOLS_NORVCTL_COMMANDS_H_
#define NORV_TOOLS_NORVCTL_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace Norv::Ctl {

// One per area, each in its own *_commands.cc.
void AddTextCommands(CLI::App& app);
void AddDataCommands(CLI::App& app);
void AddTdlistCommands(CLI::App& app);
void AddLauncherCommands(CLI::App& app);
void AddShutdownCommands(CLI::App& app);
void AddSettingsCommands(CLI::App& app);
void AddEndpointsCommands(CLI::App& app);
void AddMonitorCommands(CLI::App& app);
void AddDemoCommands(CLI::App& app);

// The subcommand `name` of `parent`, created on first use, so that several
// areas can share a group such as `serve`.
CLI::App& GetOrAddSubcommand(CLI::App& parent, const std::string& name,
                             const std::string& description);

// Exit status of a subcommand, set by its callback (0 unless it failed).
int& ExitStatus();

// Runs `body`, turning an exception into a one-line message on stderr and
// exit status 1.
template <class Body>
void Guarded(Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "norvctl: %s\n", e.what());
    ExitStatus() = 1;
  }
}

}  // namespace Norv::Ctl

#endif  // NORV_TOOLS_NORVCTL_COMMANDS_H_
