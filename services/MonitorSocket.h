// MonitorSocket: the receiving end of a call monitor. While one is open, the
// hosts and client channels of every process of this user send an event of
// each call they make or serve to it (see norv-interop(7), "Monitoring",
// and proto/norv/contracts/v1/monitor.proto): binding the socket is all it
// takes, no host restarts.
//
// The socket lives in the subdirectory monitors/ of the endpoint directory,
// which is owner-only: only the user who owns the endpoints can attach.
// Senders never wait for a monitor; what does not fit its receive buffer is
// dropped and counted on the sender's side.
//
// Thread-safety: one object is driven from one thread; the descriptor may
// be read from any.
#ifndef NORV_SERVICES_MONITOR_SOCKET_H_
#define NORV_SERVICES_MONITOR_SOCKET_H_

#include <string>

#include "PlatformExport.h"

namespace Norv::ServiceModel {

class NORV_PLATFORM_API MonitorSocket {
 public:
  // Creates <endpoint directory>/monitors with mode 0700 when missing and
  // binds a datagram socket there named after this process. Raises
  // AddressAccessDeniedException when the directories fail their checks or
  // the socket cannot be bound.
  MonitorSocket();
  // Closes the socket and removes its file.
  ~MonitorSocket();
  MonitorSocket(const MonitorSocket&) = delete;
  MonitorSocket& operator=(const MonitorSocket&) = delete;

  // The bound socket (non-blocking, close-on-exec): each datagram is one
  // encoded norv.contracts.v1.MonitorEvent.
  int Descriptor() const noexcept { return fd_; }
  const std::string& Path() const noexcept { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace Norv::ServiceModel

#endif  // NORV_SERVICES_MONITOR_SOCKET_H_
