#include "tests/soak/SoakSupport.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <stdexcept>
#include <system_error>

namespace Norv::Soak {

namespace {

std::mutex& TrackedMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::set<pid_t>& Tracked() {
  static std::set<pid_t>* tracked = new std::set<pid_t>;
  return *tracked;
}

}  // namespace

Watchdog::Watchdog(std::chrono::seconds limit) {
  thread_ = std::thread([this, limit] {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopped_.wait_for(lock, limit, [this] { return stop_; })) return;
    std::fprintf(stderr,
                 "norv_soak: FAILED: the soak did not finish within its time limit of %lld s; "
                 "killing its client processes\n",
                 static_cast<long long>(limit.count()));
    {
      std::lock_guard<std::mutex> tracked(TrackedMutex());
      for (pid_t pid : Tracked()) ::kill(pid, SIGKILL);
    }
    std::_Exit(1);
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  thread_.join();
}

void Watchdog::Track(pid_t pid) {
  std::lock_guard<std::mutex> lock(TrackedMutex());
  Tracked().insert(pid);
}

void Watchdog::Untrack(pid_t pid) {
  std::lock_guard<std::mutex> lock(TrackedMutex());
  Tracked().erase(pid);
}

ResourceSnapshot ResourceSnapshot::Take() {
  ResourceSnapshot snapshot;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) throw std::system_error(errno, std::generic_category(), "/proc/self/fd");
  const int own = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd == own) continue;
    char target[512];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    snapshot.fds[fd] = length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
  }
  ::closedir(dir);

  std::ifstream statm("/proc/self/statm");
  long long size = 0;
  long long resident = 0;
  if (!(statm >> size >> resident)) throw std::runtime_error("cannot read /proc/self/statm");
  snapshot.rss = resident * ::sysconf(_SC_PAGESIZE);
  return snapshot;
}

std::string ResourceSnapshot::DescribeChange(const ResourceSnapshot& later) const {
  std::string opened;
  std::string closed;
  for (const auto& [fd, target] : later.fds) {
    auto it = fds.find(fd);
    if (it == fds.end() || it->second != target) {
      opened += (opened.empty() ? "" : ", ") + ("fd " + std::to_string(fd) + " (" + target + ")");
    }
  }
  for (const auto& [fd, target] : fds) {
    auto it = later.fds.find(fd);
    if (it == later.fds.end() || it->second != target) {
      closed += (closed.empty() ? "" : ", ") + ("fd " + std::to_string(fd) + " (" + target + ")");
    }
  }
  std::string text;
  if (!opened.empty()) text += "now open: " + opened;
  if (!closed.empty()) text += std::string(text.empty() ? "" : "; ") + "no longer open: " + closed;
  return text;
}

ClientProcess::ClientProcess(const std::string& program, int hostPid, int key)
    : key_(key), child_({program, std::to_string(hostPid), std::to_string(key)}) {
  Watchdog::Track(child_.Pid());
}

ClientProcess::~ClientProcess() {
  // The child's own destructor kills and reaps a client that has not quit.
  Watchdog::Untrack(child_.Pid());
}

std::string ClientProcess::Describe() const {
  return "client process " + std::to_string(child_.Pid()) + " (key " + std::to_string(key_) + ")";
}

void ClientProcess::Send(const std::string& line) {
  try {
    child_.WriteLine(line);
  } catch (const std::exception& e) {
    throw std::runtime_error("cannot send \"" + line + "\" to " + Describe() + ": " + e.what());
  }
}

std::string ClientProcess::Expect(const std::string& word, std::chrono::milliseconds timeout) {
  std::optional<std::string> line = child_.ReadLine(timeout);
  if (!line) {
    throw std::runtime_error(Describe() + " printed no \"" + word + "\" line within " +
                             std::to_string(timeout.count() / 1000) + " s (or ended)");
  }
  if (line->rfind("error: ", 0) == 0) throw std::runtime_error(Describe() + " failed: " + *line);
  if (line->rfind(word, 0) != 0) {
    throw std::runtime_error(Describe() + " printed \"" + *line + "\" where \"" + word +
                             "\" was expected");
  }
  return *line;
}

void ClientProcess::Quit() { Send("quit"); }

void ClientProcess::WaitForExit(std::chrono::milliseconds timeout) {
  std::optional<int> status = child_.Wait(timeout);
  if (!status) {
    throw std::runtime_error(Describe() + " has not ended within " +
                             std::to_string(timeout.count() / 1000) + " s of quit");
  }
  if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    std::string rest;
    while (std::optional<std::string> line = child_.ReadLine(std::chrono::milliseconds(0))) {
      rest += " " + *line;
    }
    throw std::runtime_error(Describe() + " ended with status " + std::to_string(*status) +
                             " after quit" + (rest.empty() ? "" : ":" + rest));
  }
}

}  // namespace Norv::Soak
