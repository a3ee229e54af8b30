// norvctl: the command-line face of the library, for people and scripts.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <utility>
#include <vector>

#include "tools/norvctl/Commands.h"

namespace Norv::Ctl {
namespace {

std::vector<std::pair<int, CommandAdder>>& Registry() {
  static std::vector<std::pair<int, CommandAdder>> registry;
  return registry;
}

}  // namespace

CommandRegistration::CommandRegistration(int order, CommandAdder adder) {
  Registry().emplace_back(order, adder);
}

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
  // A peer that goes away must never kill the tool with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"norvctl: use the Norv interop library from the command line"};
  app.require_subcommand(1);
  auto& registry = Norv::Ctl::Registry();
  std::stable_sort(registry.begin(), registry.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [order, adder] : registry) adder(app);
  CLI11_PARSE(app, argc, argv);
  return Norv::Ctl::ExitStatus();
}
