// The file primitives behind every atomic save of the platform: a write that
// goes on until everything is written, a flush of a directory (so that a
// rename or link in it survives a crash), and a temporary file beside its
// target that is removed again unless it was put in place. Header-only, like
// UniqueFd, so that the reference services and norvctl can use them too.
//
// Failures are reported the POSIX way, false with errno set, so that each
// caller words its own message naming its own path and raises its own
// exception type. Thread-safety: the functions keep no state; a
// TemporaryFile has one owner at a time.
#ifndef NORV_PLATFORM_BASE_FILES_H_
#define NORV_PLATFORM_BASE_FILES_H_

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "platform/base/UniqueFd.h"

namespace Norv::Platform::internal {

// Writes all of `bytes` to `fd`, going on after a short write or EINTR.
inline bool WriteAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Flushes the directory `dir` itself (its entries, not the files in it).
inline bool SyncDirectory(const std::string& dir) noexcept {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  if (::fsync(fd.Get()) != 0) {
    const int error = errno;
    fd.Reset();
    errno = error;
    return false;
  }
  return true;
}

// A file made by mkstemp (mode 0600, close-on-exec) that is unlinked when
// the object goes, unless Commit was called: a failed save leaves nothing
// behind, and a crash at most a stray file that the prefix identifies.
class TemporaryFile {
 public:
  TemporaryFile() noexcept = default;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates `prefix` followed by six random characters; `prefix` names the
  // directory the file goes in (the target's, so that a rename stays atomic).
  bool Create(std::string prefix) {
    prefix += "XXXXXX";
    UniqueFd fd(::mkostemp(prefix.data(), O_CLOEXEC));
    if (!fd.Valid()) return false;
    fd_ = std::move(fd);
    path_ = std::move(prefix);
    return true;
  }

  const std::string& Path() const noexcept { return path_; }
  // The open descriptor, until Close.
  int Fd() const noexcept { return fd_.Get(); }
  // Flushes the contents to the disk.
  bool Sync() noexcept { return ::fsync(fd_.Get()) == 0; }
  // Closes the descriptor, reporting a deferred write error.
  bool Close() noexcept { return fd_.Close() == 0; }

  // Renames the file over `target`; from then on it is the target's and is
  // no longer removed.
  bool RenameTo(const std::string& target) noexcept {
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  UniqueFd fd_;
  std::string path_;  // empty once renamed
};

}  // namespace Norv::Platform::internal

#endif  // NORV_PLATFORM_BASE_FILES_H_
