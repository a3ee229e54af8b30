// Where endpoints live: the per-user endpoint directory, the socket and lock
// file of each (process id, endpoint name), and a probe that tells whether
// anybody listens on a socket.
//
// The directory is $NORV_PIPE_DIR when set, else $XDG_RUNTIME_DIR/norv, else
// /tmp/norv-<uid>. It must be a real directory (not a link) owned by the
// effective user with mode 0700; anything else is refused, so that no other
// user can plant, read or replace an endpoint.
//
// Thread-safety: free functions without shared state.
#ifndef NORV_PLATFORM_PIPES_ADDRESSING_H_
#define NORV_PLATFORM_PIPES_ADDRESSING_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace Norv::ServiceModel::internal {

// The endpoint directory named by the environment (not checked).
std::string EndpointDirectory();

// Raises AddressAccessDeniedException unless `dir` is a directory owned by
// the effective user with mode 0700. With `create`, a missing directory is
// created with that mode first; without it, a missing directory raises
// EndpointNotFoundException. `what` names the caller for the message.
void CheckEndpointDirectory(const std::string& dir, bool create, const std::string& what);

// The file-name form of an endpoint name: letters, digits, '.', '_' and '-'
// stay, every other byte becomes %XX. Raises std::invalid_argument for "".
std::string EncodeEndpointName(std::string_view name);

// <dir>/<pid>.<encoded name>.sock and .lock.
std::string SocketPath(const std::string& dir, std::int32_t pid, std::string_view name);
std::string LockPath(const std::string& dir, std::int32_t pid, std::string_view name);

// The gRPC target of the socket at `path`: "unix:" and the path with '%'
// written as %25, because gRPC percent-decodes the target and would
// otherwise turn an encoded name (a%2Fb) back into another path.
std::string GrpcTarget(const std::string& path);

// Raises AddressAccessDeniedException when `path` does not fit sun_path.
void CheckSocketPathLength(const std::string& path, const std::string& what);

enum class ProbeResult {
  kListening,  // a connect() succeeded
  kNobody,     // no socket file, or nobody accepts on it
  kRefused,    // the file exists but cannot be used (not a socket, no access)
};
// Connects to the socket at `path` and closes at once.
ProbeResult ProbeSocket(const std::string& path) noexcept;

// The checks before every new connection to the socket at `path` in `dir`:
// the directory (CheckEndpointDirectory without create), the path length,
// and a probe, so that a call fails at once when nobody listens instead of
// waiting out the connect time-out. Raises EndpointNotFoundException or
// AddressAccessDeniedException, the message starting with `where`.
void RequireListener(const std::string& dir, const std::string& path, const std::string& where);

// "process 4242, endpoint Shutdown": the prefix of every message.
std::string Site(std::int32_t pid, std::string_view endpoint);

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_ADDRESSING_H_
