// DatabaseWatch: tells a service whether the database file at a path may have
// changed since it last looked, at the cost of one system call.
//
// The service keeps pooled connections and the credential rows it has read,
// and may use them only while the path still names the same file with the
// same content. Asking the file system (a stat per call) and SQLite (a read
// transaction per call) costs several system calls per call, which on small
// queries is most of the service's own time. The watch instead subscribes,
// through inotify, to every event that can change the answer: a write to the
// database or its WAL or rollback journal, and the creation, removal or
// renaming of the file or of any directory on its path. The kernel queues an
// event before the system call that caused it returns, so a change finished
// before Generation() is called is always counted: no call is answered from
// a file it should no longer see.
//
// Where the watch cannot be exact (inotify unavailable or out of watches, a
// symbolic link on the path, a directory removed), Generation() returns a new
// value on every call, and the caller falls back to checking each time.
// Changes that bypass the file system's events are not seen: a file system
// mounted over a directory of the path, or a database on a network file
// system written from another machine (which SQLite does not support in WAL
// mode anyway).
//
// Thread-safety: Generation() may be called from any number of threads.
#ifndef NORV_SERVERS_DATASERVICE_DATABASE_WATCH_H_
#define NORV_SERVERS_DATASERVICE_DATABASE_WATCH_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Mutex.h"
#include "platform/base/UniqueFd.h"

namespace Norv::Servers::internal {

class DatabaseWatch {
 public:
  // Watches `database`, an absolute path; the file need not exist yet.
  explicit DatabaseWatch(std::filesystem::path database);
  DatabaseWatch(const DatabaseWatch&) = delete;
  DatabaseWatch& operator=(const DatabaseWatch&) = delete;

  // A number that is the same as at an earlier call only if nothing that
  // could change the file at the path, or which file the path names, has
  // happened between the two calls.
  std::uint64_t Generation();

  // Whether the watch is armed; when it is not, every Generation() differs.
  bool Armed();

 private:
  // One watched directory, and the entry names in it that matter.
  struct Directory {
    int descriptor;
    std::vector<std::string> names;
  };

  // Adds a watch on every directory of the path; on failure, sets retry_.
  bool Arm() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Removes every watch.
  void Disarm() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Reads the queued events; true if one of them matters.
  bool DrainEvents() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  const std::filesystem::path path_;
  Platform::internal::UniqueFd inotify_;

  Base::Mutex mutex_;
  std::vector<Directory> directories_ ABSL_GUARDED_BY(mutex_);
  bool armed_ ABSL_GUARDED_BY(mutex_) = false;
  // Whether arming again may succeed: false once the path is found to hold a
  // link, or inotify cannot be had.
  bool retry_ ABSL_GUARDED_BY(mutex_) = true;
  // Starts above 0, which callers may keep for "never looked".
  std::uint64_t generation_ ABSL_GUARDED_BY(mutex_) = 1;
};

}  // namespace Norv::Servers::internal

#endif  // NORV_SERVERS_DATASERVICE_DATABASE_WATCH_H_
