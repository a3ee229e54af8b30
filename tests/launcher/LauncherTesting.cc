#include "tests/launcher/LauncherTesting.h"

#include <signal.h>

#include <fstream>
#include <stdexcept>
#include <thread>

namespace Norv::Testing {
namespace {

std::string Unescaped(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      char next = value[++i];
      out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    } else {
      out += value[i];
    }
  }
  return out;
}

template <class Predicate>
bool PollUntil(Predicate predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

CompanionReport ReadCompanionReport(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("no companion report at " + path.string());
  CompanionReport report;
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) throw std::runtime_error("malformed report line: " + line);
    const std::string key = line.substr(0, eq);
    const std::string value = Unescaped(line.substr(eq + 1));
    if (key == "pid") {
      report.pid = static_cast<pid_t>(std::stol(value));
    } else if (key == "arg") {
      report.args.push_back(value);
    } else if (key == "env") {
      report.environmentLines.push_back(value);
      const std::size_t split = value.find('=');
      report.env[value.substr(0, split)] =
          split == std::string::npos ? std::string() : value.substr(split + 1);
    } else if (key == "stdin") {
      report.standardInput = value;
    } else if (key == "fds") {
      report.fds = value;
    } else if (key == "sigblk") {
      report.blockedSignals = value;
    } else if (key == "sigign") {
      report.ignoredSignals = value;
    }
  }
  if (report.pid <= 0) throw std::runtime_error("report without a pid: " + path.string());
  return report;
}

bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
  return PollUntil([&] { return std::filesystem::exists(path); }, timeout);
}

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

bool WaitUntilProcessGone(pid_t pid, std::chrono::milliseconds timeout) {
  return PollUntil([pid] { return ProcessGone(pid); }, timeout);
}

std::string CompanionProgram() { return NORV_COMPANION_PROGRAM; }

}  // namespace Norv::Testing
