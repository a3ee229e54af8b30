// How norvctl's subcommands join the tool: each area's file defines a
// function adding its subcommands to the application and registers it with
// a file-scope NORVCTL_REGISTER(order, function). main() adds them in order.
#ifndef NORV_TOOLS_NORVCTL_COMMANDS_H_
#define NORV_TOOLS_NORVCTL_COMMANDS_H_

#include <CLI/CLI.hpp>

namespace Norv::Ctl {

using CommandAdder = void (*)(CLI::App& app);

struct CommandRegistration {
  CommandRegistration(int order, CommandAdder adder);
};

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

#define NORVCTL_CONCAT_INNER(a, b) a##b
#define NORVCTL_CONCAT(a, b) NORVCTL_CONCAT_INNER(a, b)
#define NORVCTL_REGISTER(order, adder) \
  static ::Norv::Ctl::CommandRegistration NORVCTL_CONCAT(norvctlRegistration, __LINE__)(order, adder)

#endif  // NORV_TOOLS_NORVCTL_COMMANDS_H_
