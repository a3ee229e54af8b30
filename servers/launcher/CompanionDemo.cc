// norv-companion-demo: a stand-in companion tool. It reports what the
// launcher handed it (its arguments, its NORV_* variables or its whole
// environment, and its standard input, where the launcher puts the password)
// and exits; tests and the demo configure it as Trasko, Wendal or Orbisk.
//
//   norv-companion-demo [--output FILE] [--all-environment] [--wait] [ARG...]
//
// The report is written to FILE (complete, by renaming a temporary file, so
// that a reader never sees half of it) or to standard output. One item per
// line: "pid=", "arg=" for every argument as received, "env=NAME=value",
// "stdin=", then "fds=" (the open descriptors, as the tool found them) and
// "sigblk="/"sigign=" (its blocked and ignored signals, as hex masks from
// /proc/self/status). Backslashes and line breaks in values are written as \\, \n, \r.
// --wait then waits for SIGTERM or SIGINT before exiting, to stand for a tool
// that stays open.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

std::string Escaped(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ReadAll(int fd) {
  std::string data;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return data;
    }
  }
}

// The descriptors open at start, without the one that lists them.
std::string OpenDescriptors() {
  std::vector<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return "?";
  const int own = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) fds.push_back(fd);
  }
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  std::string list;
  for (int fd : fds) list += (list.empty() ? "" : ",") + std::to_string(fd);
  return list;
}

// "SigBlk" or "SigIgn" of /proc/self/status.
std::string SignalMask(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) {
      std::size_t start = line.find_first_not_of(" \t", field.size() + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "?";
}

bool WriteReport(const std::string& report, const std::string& path) {
  if (path.empty()) return std::fwrite(report.data(), 1, report.size(), stdout) == report.size();
  const std::string temporary = path + ".partial";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(report.data(), 1, report.size(), file) == report.size();
  ok = (std::fclose(file) == 0) && ok;
  return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output;
  bool allEnvironment = false;
  bool wait = false;
  // Taken first, before this program opens anything of its own.
  const std::string fds = OpenDescriptors();
  std::string report = "pid=" + std::to_string(::getpid()) + "\n";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--output" && i + 1 < argc) {
      output = argv[i + 1];
    } else if (arg == "--all-environment") {
      allEnvironment = true;
    } else if (arg == "--wait") {
      wait = true;
    }
  }
  for (int i = 0; i < argc; ++i) report += "arg=" + Escaped(argv[i]) + "\n";

  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view variable(*entry);
    if (allEnvironment || variable.substr(0, 5) == "NORV_") variables.emplace_back(variable);
  }
  std::sort(variables.begin(), variables.end());
  for (const std::string& variable : variables) report += "env=" + Escaped(variable) + "\n";
  report += "stdin=" + Escaped(ReadAll(STDIN_FILENO)) + "\n";
  report += "fds=" + fds + "\n";
  report += "sigblk=" + SignalMask("SigBlk") + "\n";
  report += "sigign=" + SignalMask("SigIgn") + "\n";

  if (wait) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    if (!WriteReport(report, output)) return 1;
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
  }
  return WriteReport(report, output) ? 0 : 1;
}
