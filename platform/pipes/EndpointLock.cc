#include "platform/pipes/EndpointLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "services/ServiceErrors.h"

namespace Norv::ServiceModel::internal {

namespace {

constexpr int kLockGraceMs = 20;

}  // namespace

void EndpointLock::Acquire(const std::string& path, const std::string& site) {
  // The inode check catches a file that its previous owner unlinked while
  // we were locking it.
  for (int attempt = 0; attempt < 16; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      int error = errno;
      throw AddressAccessDeniedException(site + ": cannot open the lock file " + path + ": " +
                                         std::strerror(error));
    }
    // A pruner (norvctl endpoints --prune) holds the lock of an endpoint it
    // found stale for a few microseconds: only a lock still held after a
    // short grace belongs to another host.
    int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    for (int waited = 0; locked != 0 && errno == EWOULDBLOCK && waited < kLockGraceMs; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      locked = ::flock(fd, LOCK_EX | LOCK_NB);
    }
    if (locked != 0) {
      int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) {
        throw AddressAlreadyInUseException(site +
                                           ": another live host already serves this endpoint "
                                           "(it holds the lock file " +
                                           path + ")");
      }
      throw AddressAccessDeniedException(site + ": cannot lock " + path + ": " +
                                         std::strerror(error));
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      fd_ = fd;
      path_ = path;
      return;
    }
    ::close(fd);
  }
  throw AddressAlreadyInUseException(site + ": the lock file " + path +
                                     " keeps being replaced by another host");
}

void EndpointLock::Release() noexcept {
  if (fd_ < 0) return;
  // Unlink while still holding the lock: a host that opened the old file
  // meanwhile sees the inode mismatch and retries.
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

void EndpointLock::Abandon() noexcept {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace Norv::ServiceModel::internal
