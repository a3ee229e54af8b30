// Helpers for the launcher tests: reading what norv-companion-demo reported,
// and waiting for a process to be gone.
#ifndef NORV_TESTS_LAUNCHER_LAUNCHER_TESTING_H_
#define NORV_TESTS_LAUNCHER_LAUNCHER_TESTING_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace Norv::Testing {

// What the companion program received, as it wrote it.
struct CompanionReport {
  pid_t pid = -1;
  std::vector<std::string> args;              // argv, argv[0] first
  std::map<std::string, std::string> env;     // the reported variables
  std::vector<std::string> environmentLines;  // "NAME=value", as reported
  std::string standardInput;
  std::string fds;
  std::string blockedSignals;
  std::string ignoredSignals;
};

// Raises std::runtime_error when the file is missing or malformed.
CompanionReport ReadCompanionReport(const std::filesystem::path& path);

// Polls until `path` exists; false after `timeout`.
bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout);

// Whether no process `pid` exists any more (a zombie still exists).
bool ProcessGone(pid_t pid);
// Polls ProcessGone; false after `timeout`.
bool WaitUntilProcessGone(pid_t pid, std::chrono::milliseconds timeout);

// The companion program built beside the tests.
std::string CompanionProgram();

}  // namespace Norv::Testing

#endif  // NORV_TESTS_LAUNCHER_LAUNCHER_TESTING_H_
