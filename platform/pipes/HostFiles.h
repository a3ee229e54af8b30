// The files of the hosts this process has open (each one's socket and lock
// file), removed when the process exits normally: a host left open when
// main returns, or when the host calls exit(), leaves nothing behind. Nothing
// else happens at exit: no host is closed and no thread joined, so an open
// host listens until the process ends. A killed process still leaves its
// files, for `norvctl endpoints --prune`.
//
// Only the process that bound a socket removes it: a child forked without
// exec that calls exit() removes nothing of its parent's.
//
// Thread-safety: every function may be called from any thread; the registry
// is never destroyed, so an exit hook or a static destructor that runs after
// it still finds it.
#ifndef NORV_PLATFORM_PIPES_HOST_FILES_H_
#define NORV_PLATFORM_PIPES_HOST_FILES_H_

#include <cstdint>
#include <string>

namespace Norv::ServiceModel::internal {

// Notes that this process bound `socketPath` and holds `lockPath` for an open
// host; the first call installs the exit hook. Returns the ticket that
// ForgetHostFiles takes.
std::uint64_t RememberHostFiles(const std::string& socketPath, const std::string& lockPath);
// Drops the entry of `ticket`, as a host closes (before it removes its files).
void ForgetHostFiles(std::uint64_t ticket) noexcept;

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_HOST_FILES_H_
