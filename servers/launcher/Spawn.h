// Spawn: starts a program as a child process with posix_spawn, the one safe
// way to start a process from a process that runs gRPC (fork without an
// immediate exec is not supported there).
//
// The child gets a fresh environment, its standard input from a pipe that
// carries the given bytes and then ends, the launcher's standard output and
// error, no other descriptor of the launcher, default signal dispositions, an
// empty signal mask, and a process group of its own (so a Ctrl-C aimed at the
// launcher's terminal does not end the tools it started).
//
// Spawn returns only once the child has executed the program: the C library
// reports a failed exec as posix_spawn's own error (glibc since 2.24 creates
// the child with CLONE_VFORK and waits for the exec; musl uses a pipe), so a
// missing or non-executable program raises here instead of leaving a child
// that exits with status 127.
//
// Thread-safety: may be called from several threads at once.
#ifndef NORV_SERVERS_LAUNCHER_SPAWN_H_
#define NORV_SERVERS_LAUNCHER_SPAWN_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace Norv::Servers::internal {

// The most bytes handed on standard input: what a fresh pipe is guaranteed to
// hold, so that writing them can neither block nor depend on the child.
inline constexpr std::size_t kMaxStandardInput = 4096;

struct SpawnRequest {
  // argv[0] is the program: a path when it holds a slash, otherwise looked up
  // in PATH. Must not be empty.
  std::vector<std::string> argv;
  // The child's whole environment, "NAME=value" each.
  std::vector<std::string> environment;
  // At most kMaxStandardInput bytes, written before the child starts.
  std::string standardInput;
};

// The child's pid. Raises std::system_error naming the failed step, with the
// errno of the failure (ENOENT for a missing program, EACCES for one that is
// not executable, ENOEXEC for one that is not a program).
pid_t Spawn(const SpawnRequest& request);

// The current environment without the variables named in `removed`.
std::vector<std::string> InheritedEnvironment(const std::vector<std::string>& removed);

}  // namespace Norv::Servers::internal

#endif  // NORV_SERVERS_LAUNCHER_SPAWN_H_
