// The client side of a duplex session: one bidirectional stream, a reader
// thread that delivers replies and queues callbacks, and a callback thread
// that runs the application's callback object and sends its answers.
//
// The callback thread never waits for a reply itself except through an
// operation that the callback object calls, and the reader thread keeps
// delivering replies meanwhile: a callback handler may call Subscribe or
// Unsubscribe on its own session.
//
// In a child forked (without exec) from the process that made a session, the
// session is the parent's: the child's calls on it fail, and closing or
// dropping it touches neither the stream nor the threads (which the child
// does not have), and the session's objects are kept, never destroyed.
#include <grpcpp/grpcpp.h>

#include <deque>
#include <thread>
#include <unordered_map>

#include "base/Mutex.h"
#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/ContractBinding.h"
#include "platform/pipes/Runtime.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel {

namespace v1 = norv::contracts::v1;
using Contracts::Service::IShutdown;
using Contracts::Service::IShutdownCallback;

namespace internal {

namespace {

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  ClientSession(std::shared_ptr<IShutdownCallback> callback, std::int32_t pid, std::string name)
      : callback_(std::move(callback)), pid_(pid), name_(std::move(name)) {}

  ~ClientSession() {
    // Threads hold the session alive, so this runs after Close or on the
    // last thread to let go of it; that thread cannot join itself.
    for (std::thread* thread : {&reader_, &worker_}) {
      if (!thread->joinable()) continue;
      if (thread->get_id() == std::this_thread::get_id()) {
        thread->detach();
      } else {
        thread->join();
      }
    }
  }

  void Start() {
    std::string where = Site(pid_, name_) + ", operation CreateChannel";
    std::string dir = EndpointDirectory();
    std::string path = SocketPath(dir, pid_, name_);
    RequireGrpcProcess(where);
    RequireListener(dir, path, where);
    channel_ = NewChannel(path);
    ConnectChannel(*channel_, path, where);
    stub_ = v1::Shutdown::NewStub(channel_);
    stream_ = stub_->Session(&context_);
    auto self = shared_from_this();
    reader_ = std::thread([self] { self->ReadLoop(); });
    worker_ = std::thread([self] { self->CallbackLoop(); });
  }

  bool IsOpen() const noexcept {
    // A forked child must not take mu_: a parent's thread may have held it.
    if (InForkedChild()) return false;
    Base::MutexLock lock(&mu_);
    return open_;
  }

  void Invoke(v1::OperationCall call, const char* operation) {
    std::string where = Site(pid_, name_) + ", operation " + operation;
    RequireGrpcProcess(where);
    Base::MutexLock lock(&mu_);
    if (!open_)
      throw CommunicationException(where + ": the session has ended (" + endReason_ + ")");
    std::uint64_t id = nextId_++;
    call.set_id(id);
    pending_.emplace(id, Pending{});
    lock.Unlock();

    v1::ClientMessage message;
    *message.mutable_call() = std::move(call);
    Write(message);

    std::chrono::milliseconds timeout = CurrentTimeouts().call;
    lock.Lock();
    cv_.WaitFor(&mu_, timeout,
                [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) { return !open_ || pending_[id].done; });
    Pending result = std::move(pending_[id]);
    pending_.erase(id);
    if (result.done) {
      lock.Unlock();
      if (result.reply.has_fault()) {
        const std::string& text = result.reply.fault().message();
        throw FaultException(where + ": the service raised a fault: " + text, text);
      }
      return;
    }
    if (!open_) {
      throw CommunicationException(where + ": the session ended during the call (" + endReason_ +
                                   ")");
    }
    throw TimeoutException(where + ": no answer within " + std::to_string(timeout.count()) + " ms");
  }

  void Close() noexcept {
    if (InForkedChild()) return;  // the parent's stream and threads
    {
      Base::MutexLock lock(&mu_);
      if (open_) {
        open_ = false;
        endReason_ = "the client closed it";
      }
      cv_.SignalAll();
    }
    context_.TryCancel();
    // Two Close calls at once must not join a thread twice.
    Base::MutexLock lock(&closeMu_);
    for (std::thread* thread : {&reader_, &worker_}) {
      if (thread->joinable() && thread->get_id() != std::this_thread::get_id()) thread->join();
    }
  }

 private:
  struct Pending {
    bool done = false;
    v1::OperationReply reply;
  };

  // One writer at a time, and never after Finish.
  bool Write(const v1::ClientMessage& message) {
    Base::MutexLock lock(&writeMu_);
    if (finished_) return false;
    return stream_->Write(message);
  }

  void ReadLoop() {
    v1::ServerMessage message;
    while (stream_->Read(&message)) {
      Base::MutexLock lock(&mu_);
      if (message.has_reply()) {
        // Only the first reply to a call counts: a peer repeating an id
        // cannot change an answer its caller may already be reading.
        auto it = pending_.find(message.reply().id());
        if (it != pending_.end() && !it->second.done) {
          it->second.done = true;
          it->second.reply = std::move(*message.mutable_reply());
        }
      } else if (message.has_callback()) {
        callbacks_.push_back(std::move(*message.mutable_callback()));
      }
      cv_.SignalAll();
    }
    grpc::Status status;
    {
      Base::MutexLock lock(&writeMu_);
      finished_ = true;
      status = stream_->Finish();
    }
    Base::MutexLock lock(&mu_);
    if (open_) {
      open_ = false;
      endReason_ =
          status.ok() ? "the service ended it" : "the service ended it: " + status.error_message();
    }
    cv_.SignalAll();
  }

  void CallbackLoop() {
    for (;;) {
      v1::CallbackCall call;
      {
        Base::MutexLock lock(&mu_);
        cv_.Wait(&mu_, [&]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) {
          return !open_ || !callbacks_.empty();
        });
        if (!open_) return;
        call = std::move(callbacks_.front());
        callbacks_.pop_front();
      }
      v1::ClientMessage message;
      AnswerShutdownCallback(*callback_, call, message.mutable_callback_reply());
      Write(message);
    }
  }

  const std::shared_ptr<IShutdownCallback> callback_;
  const std::int32_t pid_;
  const std::string name_;

  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<v1::Shutdown::Stub> stub_;
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReaderWriter<v1::ClientMessage, v1::ServerMessage>> stream_;

  // Guards the stream's writing side: one Write at a time, none after Finish.
  Base::Mutex writeMu_;
  bool finished_ ABSL_GUARDED_BY(writeMu_) = false;

  mutable Base::Mutex mu_;
  Base::CondVar cv_;
  bool open_ ABSL_GUARDED_BY(mu_) = true;
  std::string endReason_ ABSL_GUARDED_BY(mu_);
  std::uint64_t nextId_ ABSL_GUARDED_BY(mu_) = 1;
  std::unordered_map<std::uint64_t, Pending> pending_ ABSL_GUARDED_BY(mu_);
  std::deque<v1::CallbackCall> callbacks_ ABSL_GUARDED_BY(mu_);

  Base::Mutex closeMu_;
  std::thread reader_;
  std::thread worker_;
};

class ShutdownDuplexChannel final : public DuplexChannel<IShutdown>, public SessionChannel {
 public:
  explicit ShutdownDuplexChannel(std::shared_ptr<ClientSession> session)
      : session_(std::move(session)) {}
  ~ShutdownDuplexChannel() override {
    if (InForkedChild()) {
      KeepInherited(std::move(session_));
      return;
    }
    session_->Close();
  }

  void Subscribe(std::int32_t key) override {
    v1::OperationCall call;
    call.mutable_subscribe()->set_key(key);
    session_->Invoke(std::move(call), "Subscribe");
  }
  void Unsubscribe(std::int32_t key) override {
    v1::OperationCall call;
    call.mutable_unsubscribe()->set_key(key);
    session_->Invoke(std::move(call), "Unsubscribe");
  }
  void Ping() override {
    v1::OperationCall call;
    call.mutable_ping();
    session_->Invoke(std::move(call), "Ping");
  }
  void Close() noexcept override { session_->Close(); }
  bool IsOpen() const noexcept override { return session_->IsOpen(); }
  bool Connected() const noexcept override { return session_->IsOpen(); }

 private:
  std::shared_ptr<ClientSession> session_;
};

}  // namespace

std::shared_ptr<DuplexChannel<IShutdown>> CreateDuplexChannel(
    std::shared_ptr<IShutdownCallback> callback, std::int32_t pid, std::string_view name) {
  if (!callback) {
    throw std::invalid_argument(Site(pid, name) + ": a duplex session needs a callback object");
  }
  EncodeEndpointName(name);  // rejects the empty name
  auto session = std::make_shared<ClientSession>(std::move(callback), pid, std::string(name));
  session->Start();
  return std::make_shared<ShutdownDuplexChannel>(std::move(session));
}

}  // namespace internal

template <class Contract>
std::shared_ptr<DuplexChannel<Contract>> DuplexChannelFactory<Contract>::CreateChannel(
    std::shared_ptr<typename Contract::Callback> callback, std::int32_t pid,
    std::string_view name) {
  return internal::CreateDuplexChannel(std::move(callback), pid, name);
}

template class DuplexChannelFactory<IShutdown>;

}  // namespace Norv::ServiceModel
