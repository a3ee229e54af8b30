#include "servers/launcher/Spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "platform/base/Files.h"
#include "platform/base/UniqueFd.h"

extern char** environ;

namespace Norv::Servers::internal {
namespace {

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

using Platform::internal::UniqueFd;
using Platform::internal::WriteAll;

class FileActions {
 public:
  FileActions() {
    if (int rc = ::posix_spawn_file_actions_init(&actions_); rc != 0) {
      ThrowErrno(rc, "posix_spawn_file_actions_init");
    }
  }
  ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* Get() noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (int rc = ::posix_spawnattr_init(&attributes_); rc != 0) {
      ThrowErrno(rc, "posix_spawnattr_init");
    }
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* Get() noexcept { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

std::vector<char*> PointersOf(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// The read end of a pipe already holding `bytes` and closed for writing, at a
// descriptor of 3 or more (so that moving it to 0 in the child is a real
// dup2, which clears close-on-exec).
UniqueFd StandardInputPipe(const std::string& bytes) {
  if (bytes.size() > kMaxStandardInput) {
    throw std::length_error("standard input of " + std::to_string(bytes.size()) +
                            " bytes exceeds the " + std::to_string(kMaxStandardInput) +
                            " bytes a fresh pipe holds");
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno(errno, "pipe2");
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  // The read end stays open here while writing, so the write cannot raise
  // SIGPIPE; the pipe is empty and at least one page large, so it cannot
  // block or come up short.
  if (!WriteAll(writeEnd.Get(), bytes)) ThrowErrno(errno, "writing the standard input pipe");
  writeEnd.Reset();
  // The child reads in blocking mode.
  if (::fcntl(readEnd.Get(), F_SETFL, 0) != 0) ThrowErrno(errno, "fcntl");
  if (readEnd.Get() < 3) {
    int moved = ::fcntl(readEnd.Get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) ThrowErrno(errno, "fcntl(F_DUPFD_CLOEXEC)");
    readEnd.Reset(moved);
  }
  return readEnd;
}

}  // namespace

pid_t Spawn(const SpawnRequest& request) {
  if (request.argv.empty() || request.argv.front().empty()) {
    throw std::invalid_argument("no program to start");
  }
  UniqueFd input = StandardInputPipe(request.standardInput);

  FileActions actions;
  if (int rc = ::posix_spawn_file_actions_adddup2(actions.Get(), input.Get(), STDIN_FILENO);
      rc != 0) {
    ThrowErrno(rc, "posix_spawn_file_actions_adddup2");
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // The launcher's sockets and lock files must not live on in a tool: an
  // inherited endpoint lock would keep the launcher from serving again.
  if (int rc = ::posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3); rc != 0) {
    ThrowErrno(rc, "posix_spawn_file_actions_addclosefrom_np");
  }
#endif

  SpawnAttributes attributes;
  sigset_t noSignals;
  sigemptyset(&noSignals);
  sigset_t allSignals;
  sigfillset(&allSignals);
  sigdelset(&allSignals, SIGKILL);
  sigdelset(&allSignals, SIGSTOP);
  // A launcher blocks SIGINT and SIGTERM to wait for them and ignores
  // SIGPIPE; its tools must start with the ordinary dispositions.
  int rc = ::posix_spawnattr_setsigmask(attributes.Get(), &noSignals);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(attributes.Get(), &allSignals);
  if (rc == 0) rc = ::posix_spawnattr_setpgroup(attributes.Get(), 0);
  if (rc == 0) {
    rc = ::posix_spawnattr_setflags(
        attributes.Get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  if (rc != 0) ThrowErrno(rc, "posix_spawnattr");

  std::vector<char*> argv = PointersOf(request.argv);
  std::vector<char*> envp = PointersOf(request.environment);
  const std::string& program = request.argv.front();
  pid_t pid = -1;
  if (program.find('/') != std::string::npos) {
    rc = ::posix_spawn(&pid, program.c_str(), actions.Get(), attributes.Get(), argv.data(),
                       envp.data());
  } else {
    // PATH is searched as the launcher sees it, not as the child will.
    rc = ::posix_spawnp(&pid, program.c_str(), actions.Get(), attributes.Get(), argv.data(),
                        envp.data());
  }
  if (rc != 0) ThrowErrno(rc, "posix_spawn");
  return pid;
}

std::vector<std::string> InheritedEnvironment(const std::vector<std::string>& removed) {
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view variable(*entry);
    std::string_view name = variable.substr(0, variable.find('='));
    bool drop = std::any_of(removed.begin(), removed.end(),
                            [name](const std::string& r) { return r == name; });
    if (!drop) environment.emplace_back(variable);
  }
  return environment;
}

}  // namespace Norv::Servers::internal
