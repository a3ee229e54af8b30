#include "platform/pipes/Runtime.h"

#include <grpc/support/log.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "platform/pipes/Addressing.h"

namespace Norv::ServiceModel::internal {

namespace {

void DiscardLog(gpr_log_func_args*) {}

std::atomic<pid_t> gGrpcProcess{0};
// Set in every child forked (by fork(), which runs pthread_atfork handlers)
// after gRPC was first used: only then does a call pay for getpid(), a
// system call that costs about 2 us on a virtual machine.
std::atomic<bool> gForked{false};

void NoteFork() { gForked.store(true, std::memory_order_relaxed); }

// What forked children let go of: a list that only grows and is never
// destroyed. Lock-free, because a mutex may have been held at the fork by a
// thread that the child does not have.
struct Kept {
  std::shared_ptr<const void> object;
  Kept* next;
};
std::atomic<Kept*> gKept{nullptr};

}  // namespace

UnaryQueue::~UnaryQueue() {
  cq.Shutdown();
  void* tag = nullptr;
  bool ok = false;
  while (cq.Next(&tag, &ok)) {
  }
}

void AwaitUnaryCompletion(grpc::CompletionQueue& cq, grpc::ClientContext& context) {
  // Runs on the way out, normal or unwinding: the call's one completion is
  // taken off the queue before the frames it writes into go. Once the thread
  // is being cancelled no wait below acts on the cancellation again.
  struct Drain {
    grpc::CompletionQueue& cq;
    grpc::ClientContext& context;
    bool completed = false;
    ~Drain() {
      if (completed) return;
      context.TryCancel();
      void* tag = nullptr;
      bool ok = false;
      cq.Next(&tag, &ok);
    }
  } drain{cq, context};
  for (;;) {
    void* tag = nullptr;
    bool ok = false;
    if (cq.AsyncNext(&tag, &ok, DeadlineAfter(kCancellationSlice)) ==
        grpc::CompletionQueue::GOT_EVENT) {
      drain.completed = true;
      return;
    }
    CancellationPoint();
  }
}

std::string Bytes(const grpc::ByteBuffer& buffer) {
  std::vector<grpc::Slice> slices;
  std::string out;
  if (!buffer.Dump(&slices).ok()) return out;
  for (const grpc::Slice& slice : slices) {
    out.append(reinterpret_cast<const char*>(slice.begin()), slice.size());
  }
  return out;
}

grpc::ByteBuffer Buffer(const std::string& bytes) {
  grpc::Slice slice(bytes);
  return grpc::ByteBuffer(&slice, 1);
}

void EnsureGrpc() {
  static std::once_flag once;
  std::call_once(once, [] {
    gGrpcProcess.store(::getpid(), std::memory_order_release);
    ::pthread_atfork(nullptr, nullptr, &NoteFork);
    gpr_set_log_function(&DiscardLog);
    gpr_set_log_verbosity(GPR_LOG_SEVERITY_ERROR);
  });
}

pid_t GrpcProcess() noexcept { return gGrpcProcess.load(std::memory_order_acquire); }

bool InForkedChild() noexcept {
  if (!gForked.load(std::memory_order_relaxed)) return false;
  const pid_t owner = GrpcProcess();
  return owner != 0 && owner != ::getpid();
}

void RequireGrpcProcess(const std::string& where) {
  EnsureGrpc();
  if (!InForkedChild()) return;
  const pid_t owner = GrpcProcess();
  const pid_t self = ::getpid();
  throw CommunicationException(
      where + ": called in process " + std::to_string(self) + ", which process " +
      std::to_string(owner) +
      " forked without exec after using gRPC there; gRPC does not work in such a child (its "
      "threads are gone and its connections are the parent's), so start child processes with "
      "posix_spawn, or exec after fork");
}

void KeepInherited(std::shared_ptr<const void> inherited) noexcept {
  if (!inherited) return;
  auto* node = new (std::nothrow) Kept{std::move(inherited), gKept.load(std::memory_order_relaxed)};
  if (node == nullptr) {
    // No memory for the list: a reference that is never released keeps the
    // object all the same.
    alignas(std::shared_ptr<const void>) unsigned char raw[sizeof(std::shared_ptr<const void>)];
    new (raw) std::shared_ptr<const void>(std::move(inherited));
    return;
  }
  while (!gKept.compare_exchange_weak(node->next, node, std::memory_order_release,
                                      std::memory_order_relaxed)) {
  }
}

grpc::ChannelArguments ClientChannelArguments() {
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(-1);
  args.SetMaxSendMessageSize(-1);
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  // Retries are on without a retry policy: gRPC then only retries a call
  // that provably never reached a service (never sent, or refused unread by
  // a server going away), on the listener there now. A call that may have
  // reached a service is never sent again.
  args.SetInt(GRPC_ARG_ENABLE_RETRIES, 1);
  args.SetInt(GRPC_ARG_ENABLE_CHANNELZ, 0);
  return args;
}

std::shared_ptr<grpc::Channel> NewChannel(const std::string& path) {
  EnsureGrpc();
  return grpc::CreateCustomChannel(GrpcTarget(path), grpc::InsecureChannelCredentials(),
                                   ClientChannelArguments());
}

void ConnectChannel(grpc::Channel& channel, const std::string& path, const std::string& where) {
  std::chrono::milliseconds timeout = CurrentTimeouts().connect;
  auto deadline = DeadlineAfter(timeout);
  grpc_connectivity_state state = channel.GetState(/*try_to_connect=*/true);
  while (state != GRPC_CHANNEL_READY) {
    CancellationPoint();
    if (state == GRPC_CHANNEL_TRANSIENT_FAILURE || state == GRPC_CHANNEL_SHUTDOWN) {
      if (ProbeSocket(path) == ProbeResult::kNobody) {
        throw EndpointNotFoundException(where + ": nobody is listening on " + path);
      }
      throw CommunicationException(where + ": could not establish a connection on " + path +
                                   " (the peer does not answer the protocol)");
    }
    auto slice = std::min(deadline, DeadlineAfter(kCancellationSlice));
    if (!channel.WaitForStateChange(state, slice) && slice == deadline) {
      throw TimeoutException(where + ": could not connect to " + path + " within " +
                             std::to_string(timeout.count()) + " ms");
    }
    state = channel.GetState(/*try_to_connect=*/true);
  }
}

void ThrowForStatus(const grpc::Status& status, const std::string& where,
                    std::chrono::milliseconds timeout) {
  const std::string& text = status.error_message();
  switch (status.error_code()) {
    case grpc::StatusCode::UNKNOWN:
      throw FaultException(where + ": the service raised a fault: " + text, text);
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      throw TimeoutException(where + ": no answer within " + std::to_string(timeout.count()) +
                             " ms");
    case grpc::StatusCode::RESOURCE_EXHAUSTED:
      throw QuotaExceededException(where + ": " + text);
    case grpc::StatusCode::UNAVAILABLE:
      throw CommunicationException(where + ": the connection to the service was lost (" + text +
                                   ")");
    case grpc::StatusCode::UNIMPLEMENTED:
      throw CommunicationException(where + ": the endpoint does not serve this operation (" + text +
                                   ")");
    default:
      throw CommunicationException(where + ": the call failed (" + text + ")");
  }
}

}  // namespace Norv::ServiceModel::internal
