// EndpointLock: the lock file that guards an endpoint while its host is
// open, so that a second host never takes over the socket path of a live
// one (gRPC unlinks whatever is at a unix: path before it binds).
//
// Thread-safety: one object is used from one thread at a time; the lock
// itself is an flock(2) on <dir>/<pid>.<name>.lock and excludes other
// processes and other objects alike.
#ifndef NORV_PLATFORM_PIPES_ENDPOINT_LOCK_H_
#define NORV_PLATFORM_PIPES_ENDPOINT_LOCK_H_

#include <string>

namespace Norv::ServiceModel::internal {

class EndpointLock {
 public:
  EndpointLock() = default;
  ~EndpointLock() { Release(); }
  EndpointLock(const EndpointLock&) = delete;
  EndpointLock& operator=(const EndpointLock&) = delete;

  // Takes the lock file at `path`. Raises AddressAlreadyInUseException while
  // another live host holds it, AddressAccessDeniedException when it cannot
  // be opened or locked; `site` names the endpoint for the message.
  void Acquire(const std::string& path, const std::string& site);
  // Removes the lock file and lets it go; does nothing when not held.
  void Release() noexcept;
  // Lets go of the descriptor without removing the file: in a child forked
  // from the holder, the lock and its file stay the parent's (flock belongs
  // to the open file, which the parent's descriptor keeps).
  void Abandon() noexcept;

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_ENDPOINT_LOCK_H_
