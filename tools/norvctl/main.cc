// norvctl: the command-line face of the library, for people and scripts.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tools/norvctl/Commands.h"

namespace Norv::Ctl {
namespace {

// The subcommands, in the order --help lists them.
constexpr void (*kCommandAreas[])(CLI::App&) = {
    AddTextCommands,      AddDataCommands,     AddTdlistCommands,
    AddLauncherCommands,  AddShutdownCommands, AddSettingsCommands,
    AddEndpointsCommands, AddMonitorCommands,  AddDemoCommands,
};

// The help of --help-all: every command on one line, "area command" and what
// it does, under the usual options. The manual page is written from it.
class CommandListFormatter : public CLI::Formatter {
 public:
  std::string make_expanded(const CLI::App* area) const override {
    std::ostringstream out;
    const std::vector<const CLI::App*> commands = area->get_subcommands({});
    if (commands.empty()) {
      CLI::detail::format_help(out, area->get_name(), area->get_description(), get_column_width());
    }
    for (const CLI::App* command : commands) {
      CLI::detail::format_help(out, area->get_name() + " " + command->get_name(),
                               command->get_description(), get_column_width());
    }
    return out.str();
  }
};

}  // namespace

CLI::App& GetOrAddSubcommand(CLI::App& parent, const std::string& name,
                             const std::string& description) {
  for (CLI::App* sub : parent.get_subcommands({})) {
    if (sub->get_name() == name) return *sub;
  }
  CLI::App* sub = parent.add_subcommand(name, description);
  sub->require_subcommand(1);
  return *sub;
}

int& ExitStatus() {
  static int status = 0;
  return status;
}

}  // namespace Norv::Ctl

int main(int argc, char** argv) {
  // A standard stream the parent closed is /dev/null to the tool, so that no
  // socket or file opened later takes its number and gets written to or read
  // as input.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) ::close(opened);
    }
  }
  // A peer that goes away must never kill the tool with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"norvctl: use the Norv interop library from the command line", "norvctl"};
  app.set_version_flag("--version", "norvctl " NORV_VERSION);
  app.set_help_all_flag("--help-all", "List every command and exit");
  app.formatter(std::make_shared<Norv::Ctl::CommandListFormatter>());
  app.require_subcommand(1);
  for (auto* addArea : Norv::Ctl::kCommandAreas) addArea(app);
  CLI11_PARSE(app, argc, argv);
  return Norv::Ctl::ExitStatus();
}
