// Acceptor: a host's listening socket, accepted by the host itself so that
// it learns who connected. gRPC's own Unix listener tells a call only the
// peer address, which for a Unix socket names no process, and gRPC 1.51
// exposes no accepted descriptor. So the host binds and listens itself,
// reads each connection's kernel credentials (SO_PEERCRED) and process name
// once, when it accepts, and hands the descriptor to the server
// (grpc::AddInsecureChannelFromFd). gRPC then names the connection's calls
// "fd:<n>" in ServerContext::peer(), which is how a call finds its record.
// The cost is one getsockopt and one small file read per connection, none
// per call.
//
// The acceptor also remembers the inode of the socket file it bound, so that
// a host can tell that its path was replaced under it (another server
// unlinked and bound it).
//
// Thread-safety: Find and PathReplaced may be called from any thread; Start
// and Stop from the thread that opens and closes the host.
#ifndef NORV_PLATFORM_PIPES_ACCEPTOR_H_
#define NORV_PLATFORM_PIPES_ACCEPTOR_H_

#include <sys/types.h>

#include <grpcpp/grpcpp.h>

#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/Mutex.h"
#include "platform/base/UniqueFd.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel::internal {

// The credentials of the peer of connected socket `fd`, read now; pid 0 when
// the kernel gives none.
PeerIdentity ReadPeerIdentity(int fd) noexcept;

class Acceptor {
 public:
  // Binds `path` (which must not exist), restricts it to the owner and
  // listens. Raises AddressAccessDeniedException naming `site`.
  Acceptor(const std::string& path, const std::string& site);
  ~Acceptor() { Stop(); }
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // Hands every connection accepted from now on to `server`, which must
  // outlive Stop.
  void Start(grpc::Server* server);
  // Stops accepting and closes the listening socket, so that connecting
  // fails from then on; waits for the accepting thread. Idempotent.
  void Stop() noexcept;

  // The identity of the connection that gRPC names `grpcPeer` ("fd:<n>");
  // pid 0 when it is none of this acceptor's.
  PeerIdentity Find(std::string_view grpcPeer) const;
  // The connections accepted here that are still open, oldest first.
  std::vector<PeerIdentity> OpenConnections() const;
  // Whether the file at the bound path is no longer the socket bound here.
  bool PathReplaced() const noexcept;

 private:
  void Run(grpc::Server* server);

  const std::string path_;
  Platform::internal::UniqueFd listen_;
  Platform::internal::UniqueFd wake_;  // an eventfd that ends Run
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::thread thread_;
  mutable Base::Mutex mu_;
  // Keyed by descriptor number: a number is reused only after gRPC closed
  // the connection that had it, and the new connection's record replaces it.
  // The inode tells whether the descriptor is still that connection.
  struct Connection {
    PeerIdentity identity;
    ino_t inode = 0;
  };
  std::unordered_map<int, Connection> peers_ ABSL_GUARDED_BY(mu_);
};

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_ACCEPTOR_H_
