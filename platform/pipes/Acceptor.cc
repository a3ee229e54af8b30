#include "platform/pipes/Acceptor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <grpcpp/server_posix.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "services/ServiceErrors.h"

namespace Norv::ServiceModel::internal {

namespace {

std::string ProcessName(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/comm";
  Platform::internal::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return {};
  char buffer[64];
  ssize_t n;
  do {
    n = ::read(fd.Get(), buffer, sizeof(buffer));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  std::string name(buffer, static_cast<std::size_t>(n));
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

}  // namespace

PeerIdentity ReadPeerIdentity(int fd) noexcept {
  PeerIdentity identity;
  identity.connectedAt = std::chrono::system_clock::now();
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return identity;
  identity.pid = credentials.pid;
  identity.uid = credentials.uid;
  try {
    identity.processName = ProcessName(credentials.pid);
  } catch (...) {
    // Out of memory for a name of at most 16 bytes: the name stays unknown.
  }
  return identity;
}

Acceptor::Acceptor(const std::string& path, const std::string& site)
    : path_(path),
      listen_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  auto fail = [&](const char* what) {
    throw AddressAccessDeniedException(site + ": cannot listen on " + path + ": " + what + ": " +
                                       std::strerror(errno));
  };
  if (listen_.Get() < 0 || wake_.Get() < 0) fail("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  // No umask change around bind: the mask is the host process's, shared by
  // its other threads. The owner-only directory already keeps other users
  // out between bind and chmod.
  if (::bind(listen_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    fail("bind");
  }
  ::chmod(path.c_str(), 0600);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  if (::listen(listen_.Get(), SOMAXCONN) != 0) fail("listen");
}

void Acceptor::Start(grpc::Server* server) {
  thread_ = std::thread([this, server] { Run(server); });
}

void Acceptor::Stop() noexcept {
  if (thread_.joinable()) {
    std::uint64_t one = 1;
    while (::write(wake_.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  listen_.Reset();
}

void Acceptor::Run(grpc::Server* server) {
  pollfd fds[2] = {{listen_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int fd = ::accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // EAGAIN: the client gave up before we accepted; EMFILE and the like:
      // try again at the next connection rather than spin.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        ::poll(nullptr, 0, 10);
      }
      continue;
    }
    Connection connection{ReadPeerIdentity(fd), 0};
    struct stat st {};
    if (::fstat(fd, &st) == 0) connection.inode = st.st_ino;
    {
      Base::MutexLock lock(&mu_);
      peers_[fd] = std::move(connection);
    }
    // gRPC owns the descriptor from here and closes it with the connection.
    grpc::AddInsecureChannelFromFd(server, fd);
  }
}

PeerIdentity Acceptor::Find(std::string_view grpcPeer) const {
  constexpr std::string_view kPrefix = "fd:";
  if (grpcPeer.substr(0, kPrefix.size()) != kPrefix) return {};
  int fd = -1;
  std::string_view digits = grpcPeer.substr(kPrefix.size());
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
  if (error != std::errc() || end != digits.data() + digits.size()) return {};
  Base::MutexLock lock(&mu_);
  auto it = peers_.find(fd);
  return it == peers_.end() ? PeerIdentity{} : it->second.identity;
}

std::vector<PeerIdentity> Acceptor::OpenConnections() const {
  std::vector<PeerIdentity> open;
  {
    Base::MutexLock lock(&mu_);
    for (const auto& [fd, connection] : peers_) {
      // gRPC closes a descriptor when its connection ends, and a number is
      // reused only by a new descriptor, whose inode differs.
      struct stat st {};
      if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == connection.inode) {
        open.push_back(connection.identity);
      }
    }
  }
  std::sort(open.begin(), open.end(), [](const PeerIdentity& a, const PeerIdentity& b) {
    return a.connectedAt < b.connectedAt;
  });
  return open;
}

bool Acceptor::PathReplaced() const noexcept {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) return true;
  return st.st_dev != device_ || st.st_ino != inode_;
}

}  // namespace Norv::ServiceModel::internal
