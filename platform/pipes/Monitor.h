// The sending side of call monitoring: whether a monitor is attached, and
// the events that hosts and client channels report to every attached one.
//
// Monitors are datagram sockets in <endpoint directory>/monitors/. While
// none is attached, MonitorAttached() costs a clock read (no system call)
// and, at most every kMonitorRecheck, one stat of that directory; nothing
// else happens. With monitors attached, events are batched into datagrams
// (MonitorBatch) sent with MSG_DONTWAIT to each: a full receive queue drops
// the batch and counts its events, the count riding on the next batch that
// gets through (one of the count alone when no event follows), and a
// socket nobody reads any more (ECONNREFUSED) is forgotten and removed.
// Nothing here raises or blocks: monitoring never changes a call.
//
// Thread-safety: every function may be called from any thread.
#ifndef NORV_PLATFORM_PIPES_MONITOR_H_
#define NORV_PLATFORM_PIPES_MONITOR_H_

#include <grpcpp/grpcpp.h>
#include <grpcpp/support/server_interceptor.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "norv/contracts/v1/monitor.pb.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel::internal {

inline constexpr std::chrono::milliseconds kMonitorRecheck{250};

// The subdirectory of `endpointDir` where monitors bind their sockets.
std::string MonitorDirectory(const std::string& endpointDir);

// Whether any monitor is attached (as of the last look at the directory).
bool MonitorAttached() noexcept;

// Sends `event` to every attached monitor, after filling in the reporting
// process and, when unset, the time. Events are batched: one leaves at once
// when it is `urgent` or the first after a quiet spell of 10 ms, the others
// within 10 ms from a flusher thread.
void ReportToMonitors(norv::contracts::v1::MonitorEvent& event, bool urgent) noexcept;

// An event of this process's own calls: kind, side CLIENT, this process as
// the caller, the endpoint, the operation and the time since `started`.
norv::contracts::v1::MonitorEvent ClientEvent(norv::contracts::v1::MonitorEvent::Kind kind,
                                              std::int32_t pid, std::string_view endpoint,
                                              std::string_view operation,
                                              std::chrono::steady_clock::time_point started);

// Reports an event of a session that this process hosts (side HOST): the
// client `peer` as the caller, endpoint `endpoint` of process `pid` as the
// callee, and the time since `started`. Session starts and ends leave at
// once; callbacks are batched like calls.
void ReportHostSessionEvent(norv::contracts::v1::MonitorEvent::Kind kind, const PeerIdentity& peer,
                            std::int32_t pid, std::string_view endpoint, std::string_view operation,
                            std::chrono::steady_clock::time_point started, std::string_view status,
                            std::string_view fault, std::string_view answer) noexcept;

// "ok", "fault", "timeout", ... for a gRPC status code.
std::string_view StatusName(grpc::StatusCode code) noexcept;

// Reports one unary call made through a client channel.
void ReportClientCall(std::int32_t pid, std::string_view endpoint, std::string_view operation,
                      std::chrono::steady_clock::time_point started, const grpc::Status& status,
                      std::size_t requestBytes, std::size_t replyBytes) noexcept;

// Who the connection that gRPC names `grpcPeer` belongs to.
using PeerLookup = std::function<PeerIdentity(std::string_view grpcPeer)>;

// The host's interceptor factory: while a monitor is attached, each unary
// call of a contract that the host of endpoint `name` of process `pid`
// serves is reported as the host saw it (its caller as `peers` names it,
// sizes, status). While none is, it makes no interceptor, so a call costs
// what it did without it.
std::unique_ptr<grpc::experimental::ServerInterceptorFactoryInterface> MonitorInterceptorFactory(
    std::int32_t pid, std::string name, PeerLookup peers);

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_MONITOR_H_
