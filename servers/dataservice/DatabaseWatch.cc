#include "servers/dataservice/DatabaseWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <system_error>
#include <utility>

namespace Norv::Servers::internal {

namespace {

// Events on a directory of the path that change what the path names.
constexpr std::uint32_t kPathEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// The further event on the database's own directory that changes content: a
// write or a truncation. Readers cause none: SQLite reads with read(), and
// changes the WAL index (the -shm file) as shared memory, without write().
// (Closing and permission events are left out: readers cause them, when
// they open and close the WAL, and they change nothing that is read.)
constexpr std::uint32_t kContentEvents = IN_MODIFY;
// Events after which a watch no longer watches the directory it was put on.
constexpr std::uint32_t kWatchLost = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

}  // namespace

DatabaseWatch::DatabaseWatch(std::filesystem::path database)
    : path_(std::move(database).lexically_normal()),
      inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  Base::MutexLock lock(&mutex_);
  armed_ = Arm();
}

bool DatabaseWatch::Arm() {
  if (!inotify_.Valid() || !path_.is_absolute() || !path_.has_filename()) {
    retry_ = false;
    return false;
  }
  // Events name directory entries, not the files they lead to: with a link
  // on the path, a change at the link's target would go unseen.
  std::error_code error;
  if (std::filesystem::weakly_canonical(path_, error) != path_ || error) {
    retry_ = false;
    return false;
  }

  std::vector<std::filesystem::path> chain;
  for (auto dir = path_.parent_path();; dir = dir.parent_path()) {
    chain.push_back(dir);
    if (dir == dir.root_path()) break;
  }
  std::reverse(chain.begin(), chain.end());
  for (std::size_t i = 0; i < chain.size(); ++i) {
    bool last = i + 1 == chain.size();
    std::uint32_t mask = last ? kPathEvents | kContentEvents : kPathEvents;
    int descriptor = ::inotify_add_watch(inotify_.Get(), chain[i].c_str(), mask);
    if (descriptor < 0) {
      // A directory not there (yet) may come back; out of watches, or not
      // allowed to watch, stays so.
      int reason = errno;
      Disarm();
      retry_ = reason == ENOENT || reason == ENOTDIR;
      return false;
    }
    Directory directory{descriptor, {}};
    if (last) {
      std::string name = path_.filename().string();
      directory.names = {name, name + "-wal", name + "-journal"};
    } else {
      directory.names = {chain[i + 1].filename().string()};
    }
    directories_.push_back(std::move(directory));
  }
  return true;
}

void DatabaseWatch::Disarm() {
  // The IN_IGNORED events this queues name descriptors no longer listed,
  // so DrainEvents passes over them.
  for (const Directory& directory : directories_) {
    ::inotify_rm_watch(inotify_.Get(), directory.descriptor);
  }
  directories_.clear();
  armed_ = false;
}

bool DatabaseWatch::DrainEvents() {
  bool changed = false;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    ssize_t size = ::read(inotify_.Get(), buffer, sizeof buffer);
    if (size < 0 && errno == EINTR) continue;
    if (size <= 0) {
      // EAGAIN: the queue is empty. Anything else leaves us blind.
      if (size < 0 && errno != EAGAIN) {
        Disarm();
        changed = true;
      }
      return changed;
    }
    for (char* at = buffer; at < buffer + size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        changed = true;
        continue;
      }
      auto directory = std::find_if(directories_.begin(), directories_.end(),
                                    [&](const Directory& d) { return d.descriptor == event->wd; });
      if (directory == directories_.end()) continue;
      if (event->mask & kWatchLost) {
        Disarm();
        changed = true;
        continue;
      }
      if (event->len > 0 && std::find(directory->names.begin(), directory->names.end(),
                                      event->name) != directory->names.end()) {
        changed = true;
      }
    }
  }
}

std::uint64_t DatabaseWatch::Generation() {
  Base::MutexLock lock(&mutex_);
  if (!armed_) {
    // Blind until armed again: a directory of the path was removed or
    // renamed, so the path may lead somewhere else once it is back. Arming
    // afresh comes first, so that whatever the caller then checks is
    // already watched.
    if (retry_) armed_ = Arm();
    return ++generation_;
  }
  // One read(): EAGAIN when nothing happened, the events otherwise. A watch
  // lost on the way counts as a change too.
  if (DrainEvents()) ++generation_;
  return generation_;
}

bool DatabaseWatch::Armed() {
  Base::MutexLock lock(&mutex_);
  return armed_;
}

}  // namespace Norv::Servers::internal
