#include "platform/pipes/Addressing.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "services/ServiceErrors.h"

namespace Norv::ServiceModel::internal {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::string EndpointDirectory() {
  if (const char* dir = std::getenv("NORV_PIPE_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && *runtime != '\0') {
    return std::string(runtime) + "/norv";
  }
  return "/tmp/norv-" + std::to_string(::geteuid());
}

void CheckEndpointDirectory(const std::string& dir, bool create, const std::string& what) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    int error = errno;
    if (error != ENOENT) {
      throw AddressAccessDeniedException(what + ": cannot examine the endpoint directory " + dir +
                                         ": " + ErrnoText(error));
    }
    if (!create) {
      throw EndpointNotFoundException(what + ": nobody is listening (the endpoint directory " +
                                      dir + " does not exist)");
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      error = errno;
      throw AddressAccessDeniedException(what + ": cannot create the endpoint directory " + dir +
                                         ": " + ErrnoText(error));
    }
    // A restrictive umask may have taken the owner's bits; set the mode we
    // created it for (only on a real directory of ours, checked below).
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
      ::chmod(dir.c_str(), 0700);
    }
    if (::lstat(dir.c_str(), &st) != 0) {
      error = errno;
      throw AddressAccessDeniedException(what + ": cannot examine the endpoint directory " + dir +
                                         ": " + ErrnoText(error));
    }
  }
  if (S_ISLNK(st.st_mode)) {
    throw AddressAccessDeniedException(what + ": the endpoint directory " + dir +
                                       " is a symbolic link; refusing to use it");
  }
  if (!S_ISDIR(st.st_mode)) {
    throw AddressAccessDeniedException(what + ": the endpoint directory " + dir +
                                       " is not a directory");
  }
  if (st.st_uid != ::geteuid()) {
    throw AddressAccessDeniedException(what + ": the endpoint directory " + dir +
                                       " is owned by uid " + std::to_string(st.st_uid) +
                                       ", not by uid " + std::to_string(::geteuid()));
  }
  if ((st.st_mode & 07777) != 0700) {
    throw AddressAccessDeniedException(what + ": the endpoint directory " + dir + " has mode " +
                                       ModeText(st.st_mode) + ", expected 0700");
  }
}

std::string EncodeEndpointName(std::string_view name) {
  if (name.empty()) throw std::invalid_argument("an endpoint name must not be empty");
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::string SocketPath(const std::string& dir, std::int32_t pid, std::string_view name) {
  return dir + "/" + std::to_string(pid) + "." + EncodeEndpointName(name) + ".sock";
}

std::string LockPath(const std::string& dir, std::int32_t pid, std::string_view name) {
  return dir + "/" + std::to_string(pid) + "." + EncodeEndpointName(name) + ".lock";
}

std::string GrpcTarget(const std::string& path) {
  std::string target = "unix:";
  for (char c : path) {
    if (c == '%') {
      target += "%25";
    } else {
      target.push_back(c);
    }
  }
  return target;
}

void CheckSocketPathLength(const std::string& path, const std::string& what) {
  constexpr std::size_t kMax = sizeof(sockaddr_un{}.sun_path) - 1;
  if (path.size() > kMax) {
    throw AddressAccessDeniedException(what + ": the socket path " + path + " is " +
                                       std::to_string(path.size()) + " bytes long, more than the " +
                                       std::to_string(kMax) + " a Unix socket address can hold");
  }
}

ProbeResult ProbeSocket(const std::string& path) noexcept {
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return ProbeResult::kRefused;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ProbeResult::kRefused;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  int error = rc == 0 ? 0 : errno;
  ::close(fd);
  if (rc == 0) return ProbeResult::kListening;
  // A full backlog (EAGAIN) still means somebody is there.
  if (error == EAGAIN) return ProbeResult::kListening;
  if (error == ENOENT || error == ECONNREFUSED) return ProbeResult::kNobody;
  return ProbeResult::kRefused;
}

void RequireListener(const std::string& dir, const std::string& path, const std::string& where) {
  CheckEndpointDirectory(dir, /*create=*/false, where);
  CheckSocketPathLength(path, where);
  switch (ProbeSocket(path)) {
    case ProbeResult::kNobody:
      throw EndpointNotFoundException(where + ": nobody is listening on " + path);
    case ProbeResult::kRefused:
      throw AddressAccessDeniedException(where + ": the socket " + path + " cannot be used");
    case ProbeResult::kListening:
      break;
  }
}

std::string Site(std::int32_t pid, std::string_view endpoint) {
  std::string site = "process " + std::to_string(pid) + ", endpoint ";
  site.append(endpoint);
  return site;
}

}  // namespace Norv::ServiceModel::internal
