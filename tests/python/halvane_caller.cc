// A host application that calls the launcher bridge (Halvane), which always
// reaches the launcher of its own process: the Python launcher test serves
// the endpoint ApplicationLauncher for this program's process id and then
// tells it, one command a line on standard input, what to call:
//   logon PROJECT USER PASSWORD AUTHOR   Halvane::LogOn
//   trasko | wendal | orbisk             Halvane::LaunchTrasko, ...
// It prints "done" or "error: <what()>" for each, and exits at the end of
// its input.
#include <norv/interop.h>

#include <exception>
#include <iostream>
#include <sstream>
#include <string>

using Norv::Halvane::Interop::Halvane;

int main() {
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    try {
      if (command == "logon") {
        std::string project, user, password, author;
        words >> project >> user >> password >> author;
        Halvane::LogOn(project.data(), user.data(), password.data(), author.data());
      } else if (command == "trasko") {
        Halvane::LaunchTrasko();
      } else if (command == "wendal") {
        Halvane::LaunchWendal();
      } else if (command == "orbisk") {
        Halvane::LaunchOrbisk();
      } else {
        std::cout << "error: unknown command " << command << std::endl;
        continue;
      }
      std::cout << "done" << std::endl;
    } catch (const std::exception& e) {
      std::cout << "error: " << e.what() << std::endl;
    }
  }
  return 0;
}
