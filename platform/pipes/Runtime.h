// What every part of the component shares: gRPC's one-time set-up (silenced
// logging), the process-wide time-outs, the channel and server arguments,
// and the mapping of a gRPC status to the component's exceptions.
//
// Thread-safety: every function may be called from any thread.
#ifndef NORV_PLATFORM_PIPES_RUNTIME_H_
#define NORV_PLATFORM_PIPES_RUNTIME_H_

#include <grpcpp/grpcpp.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "base/ThreadCache.h"
#include "platform/base/Cancellation.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel::internal {

// Silences gRPC's own logging and notes the process that uses gRPC; call
// before the first use of gRPC.
void EnsureGrpc();

// gRPC does not survive fork() without exec: its threads are gone in the
// child, and every connection the child inherited is the parent's, which a
// single byte sent or a channel torn down in the child would corrupt. So the
// component works only in the process that first used gRPC through it (a
// child forked before that is a fresh user).
//
// The process that first used gRPC, or 0 while none has.
pid_t GrpcProcess() noexcept;
// Whether this process is a child forked, without exec, from the process
// that used gRPC: what it inherited from gRPC must be left untouched. A
// pthread_atfork handler marks forked children, so that elsewhere this costs
// no system call; a child of a bare clone(), which runs no handler, is missed.
bool InForkedChild() noexcept;
// EnsureGrpc, then raises CommunicationException when InForkedChild(),
// saying so: `where` names the call ("process P, endpoint E, operation O").
void RequireGrpcProcess(const std::string& where);
// Keeps `inherited` until the process ends, never destroying it: the way a
// forked child lets go of gRPC objects (and what owns them) that it inherited.
// It stays reachable, so leak checkers stay quiet.
void KeepInherited(std::shared_ptr<const void> inherited) noexcept;

Timeouts CurrentTimeouts() noexcept;

// The status message with which a closing host ends its sessions; a client
// session that ends with it knows the host closed on purpose.
inline constexpr std::string_view kHostClosingMessage = "the host is closing";

inline std::chrono::system_clock::time_point DeadlineAfter(std::chrono::milliseconds span) {
  return std::chrono::system_clock::now() + span;
}

// Arguments of every client channel: no receive limit, and a subchannel pool
// of its own so that a new channel never inherits a dead connection's
// reconnect back-off.
grpc::ChannelArguments ClientChannelArguments();

// A new channel to the socket at `path`.
std::shared_ptr<grpc::Channel> NewChannel(const std::string& path);

// Waits until `channel` is connected. Raises EndpointNotFoundException when
// nobody listens at `path`, CommunicationException when the peer refuses the
// protocol, TimeoutException after the connect time-out. `where` is
// "process P, endpoint E, operation O".
void ConnectChannel(grpc::Channel& channel, const std::string& path, const std::string& where);

// Cancellation of a thread blocked in a call (see platform/base/Cancellation.h).
using Platform::internal::CancellationDeferred;
using Platform::internal::CancellationPoint;
using Platform::internal::kCancellationSlice;

// A completion queue for unary calls, empty between calls; shut down and
// drained when it goes.
struct UnaryQueue {
  UnaryQueue() = default;
  ~UnaryQueue();
  UnaryQueue(const UnaryQueue&) = delete;
  UnaryQueue& operator=(const UnaryQueue&) = delete;
  grpc::CompletionQueue cq;
};

// Runs fn(cq) with a completion queue for one unary call: the calling
// thread's, kept for the thread's life (making a queue for each call cost
// about as much as the call's own work on this side), or one made for this
// call where the thread's is gone (an atexit handler, a static or
// thread_local destructor).
template <class Fn>
decltype(auto) WithCallQueue(Fn&& fn) {
  return Base::ThreadCache<UnaryQueue>::Use(
      [&](UnaryQueue& queue) -> decltype(auto) { return std::forward<Fn>(fn)(queue.cq); });
}

// Waits for the one completion that a unary call started on `cq` queues,
// with a CancellationPoint() between slices. When the thread is cancelled,
// the call is cancelled and its completion awaited before the unwinding goes
// on, since gRPC writes into the reply and status of the frames unwound.
// Leaves `cq` empty.
void AwaitUnaryCompletion(grpc::CompletionQueue& cq, grpc::ClientContext& context);

// Raises the exception for a failed call: FaultException for UNKNOWN (the
// service's fault), TimeoutException for DEADLINE_EXCEEDED,
// QuotaExceededException for RESOURCE_EXHAUSTED, CommunicationException
// otherwise.
[[noreturn]] void ThrowForStatus(const grpc::Status& status, const std::string& where,
                                 std::chrono::milliseconds timeout);

// The bytes of a message that travels as a raw byte buffer (the standard
// services whose messages are encoded by hand), and back.
std::string Bytes(const grpc::ByteBuffer& buffer);
grpc::ByteBuffer Buffer(const std::string& bytes);

// Implemented by the channels whose peer can go away (callback channels and
// duplex sessions), so that NamedPipeServiceHost::IsConnected can ask them.
class SessionChannel {
 public:
  virtual ~SessionChannel() = default;
  virtual bool Connected() const noexcept = 0;
};

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_RUNTIME_H_
