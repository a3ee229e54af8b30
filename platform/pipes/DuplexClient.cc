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
#include <sys/stat.h>

#include <deque>
#include <thread>
#include <unordered_map>

#include "base/Mutex.h"
#include "base/SwallowFailures.h"
#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/ContractBinding.h"
#include "platform/pipes/DuplexClient.h"
#include "platform/pipes/Monitor.h"
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
  ClientSession(std::shared_ptr<IShutdownCallback> callback, std::int32_t pid, std::string name,
                SessionEndHandler onEnd)
      : callback_(std::move(callback)),
        pid_(pid),
        name_(std::move(name)),
        onEnd_(std::move(onEnd)) {}

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
    if (MonitorAttached()) Watch(v1::MonitorEvent::SESSION_START, "Session", opened_, "ok", "", "");
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

    const bool watched = MonitorAttached();
    const auto started =
        watched ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
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
        if (watched) Watch(v1::MonitorEvent::SESSION_CALL, operation, started, "fault", text, "");
        throw FaultException(where + ": the service raised a fault: " + text, text);
      }
      if (watched) Watch(v1::MonitorEvent::SESSION_CALL, operation, started, "ok", "", "");
      return;
    }
    const bool ended = !open_;
    const std::string text = ended ? "the session ended during the call (" + endReason_ + ")"
                                   : "no answer within " + std::to_string(timeout.count()) + " ms";
    lock.Unlock();
    if (watched) {
      Watch(v1::MonitorEvent::SESSION_CALL, operation, started, ended ? "unavailable" : "timeout",
            text, "");
    }
    if (ended) throw CommunicationException(where + ": " + text);
    throw TimeoutException(where + ": " + text);
  }

  // See DuplexSession::ArmEndHandler.
  bool ArmEndHandler() {
    Base::MutexLock lock(&mu_);
    if (!open_) return false;
    armed_ = true;
    return true;
  }
  std::string EndReason() const {
    Base::MutexLock lock(&mu_);
    return endReason_;
  }

  void Close() noexcept {
    if (InForkedChild()) return;  // the parent's stream and threads
    bool closedHere = false;
    {
      Base::MutexLock lock(&mu_);
      armed_ = false;  // the client knows it closed its own session
      if (open_) {
        open_ = false;
        endReason_ = "the client closed it";
        closedHere = true;
      }
      cv_.SignalAll();
    }
    if (closedHere && MonitorAttached()) {
      Watch(v1::MonitorEvent::SESSION_END, "Session", opened_, "closed", "the client closed it",
            "");
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

  static const char* EndStatusName(SessionEndKind kind) noexcept {
    switch (kind) {
      case SessionEndKind::kHostClosed:
        return "host-closed";
      case SessionEndKind::kHostDied:
        return "host-died";
      case SessionEndKind::kBroken:
        break;
    }
    return "broken";
  }

  // Reports an event of this session to the attached monitors.
  void Watch(v1::MonitorEvent::Kind kind, std::string_view operation,
             std::chrono::steady_clock::time_point started, std::string_view status,
             std::string_view fault, std::string_view answer) const noexcept {
    Base::SwallowFailures([&] {
      v1::MonitorEvent event = ClientEvent(kind, pid_, name_, operation, started);
      event.set_status(std::string(status));
      event.set_fault(std::string(fault));
      event.set_answer(std::string(answer));
      // A session's events are rare and often a process's last: they leave
      // at once. Callbacks are batched like calls.
      ReportToMonitors(event, kind != v1::MonitorEvent::CALLBACK);
    });
  }

  void ReportCallback(const v1::CallbackCall& call, const v1::CallbackReply& reply,
                      std::chrono::steady_clock::time_point started) const noexcept {
    const bool request = call.has_request_shutdown();
    std::string_view answer;
    if (!reply.has_fault()) answer = !request ? "done" : reply.accepted() ? "accepted" : "refused";
    Watch(v1::MonitorEvent::CALLBACK, request ? "RequestShutdown" : "ForceShutdown", started,
          reply.has_fault() ? "fault" : "ok", reply.has_fault() ? reply.fault().message() : "",
          answer);
  }

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
    SessionEndHandler notify;
    std::string reason;
    bool ended = false;
    std::string endText;
    {
      Base::MutexLock lock(&mu_);
      if (open_) {
        ended = true;
        open_ = false;
        endReason_ = status.ok() ? "the service ended it"
                                 : "the service ended it: " + status.error_message();
        endText = endReason_;
        if (armed_) {
          armed_ = false;
          notify = std::move(onEnd_);
          reason = endReason_;
        }
      }
      cv_.SignalAll();
    }
    // Classified only when someone is told: a session the client closed
    // itself ends without probing anything.
    const bool watched = ended && MonitorAttached();
    if (!notify && !watched) return;
    const SessionEndKind kind = ClassifyEnd(status);
    if (watched) {
      Watch(v1::MonitorEvent::SESSION_END, "Session", opened_, EndStatusName(kind), endText, "");
    }
    // Outside the lock: the handler may call back into this session (Close
    // skips joining the thread it runs on).
    if (notify) {
      Base::SwallowFailures([&] { notify(kind, Site(pid_, name_) + ": " + reason); });
    }
  }

  // Why the stream ended. A host that closes removes its socket, so a
  // socket that stays behind with nobody accepting on it is the mark of a
  // host that died without closing. A dying process may close this
  // session's connection a moment before its listening socket, so a socket
  // that still accepts is probed again a few times (100 ms at most, on the
  // reader thread, which has nothing else left to do).
  SessionEndKind ClassifyEnd(const grpc::Status& status) const {
    if (status.ok() || status.error_message() == kHostClosingMessage) {
      return SessionEndKind::kHostClosed;
    }
    const std::string path = SocketPath(EndpointDirectory(), pid_, name_);
    constexpr int kProbes = 5;
    for (int probe = 0; probe < kProbes; ++probe) {
      if (probe != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0) return SessionEndKind::kHostClosed;
      if (ProbeSocket(path) != ProbeResult::kListening) return SessionEndKind::kHostDied;
    }
    return SessionEndKind::kBroken;
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
      const bool watched = MonitorAttached();
      const auto started =
          watched ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
      AnswerShutdownCallback(*callback_, call, message.mutable_callback_reply());
      // Queued before the answer leaves: whatever the answer makes the host
      // do next (close, so that this process ends) comes after the event.
      if (watched) ReportCallback(call, message.callback_reply(), started);
      Write(message);
    }
  }

  const std::shared_ptr<IShutdownCallback> callback_;
  const std::int32_t pid_;
  const std::string name_;
  // When the session opened: a SESSION_END event reports its length.
  const std::chrono::steady_clock::time_point opened_ = std::chrono::steady_clock::now();

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
  // Whether the end of the session is still to be reported to onEnd_.
  bool armed_ ABSL_GUARDED_BY(mu_) = false;
  SessionEndHandler onEnd_ ABSL_GUARDED_BY(mu_);
  std::string endReason_ ABSL_GUARDED_BY(mu_);
  std::uint64_t nextId_ ABSL_GUARDED_BY(mu_) = 1;
  std::unordered_map<std::uint64_t, Pending> pending_ ABSL_GUARDED_BY(mu_);
  std::deque<v1::CallbackCall> callbacks_ ABSL_GUARDED_BY(mu_);

  Base::Mutex closeMu_;
  std::thread reader_;
  std::thread worker_;
};

class ShutdownDuplexChannel final : public DuplexSession, public SessionChannel {
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
  bool ArmEndHandler() override { return session_->ArmEndHandler(); }
  std::string EndReason() const override { return session_->EndReason(); }
  bool Connected() const noexcept override { return session_->IsOpen(); }

 private:
  std::shared_ptr<ClientSession> session_;
};

}  // namespace

std::shared_ptr<DuplexSession> CreateDuplexSession(std::shared_ptr<IShutdownCallback> callback,
                                                   std::int32_t pid, std::string_view name,
                                                   SessionEndHandler onEnd) {
  if (!callback) {
    throw std::invalid_argument(Site(pid, name) + ": a duplex session needs a callback object");
  }
  EncodeEndpointName(name);  // rejects the empty name
  auto session = std::make_shared<ClientSession>(std::move(callback), pid, std::string(name),
                                                 std::move(onEnd));
  session->Start();
  return std::make_shared<ShutdownDuplexChannel>(std::move(session));
}

std::shared_ptr<DuplexChannel<IShutdown>> CreateDuplexChannel(
    std::shared_ptr<IShutdownCallback> callback, std::int32_t pid, std::string_view name) {
  return CreateDuplexSession(std::move(callback), pid, name, nullptr);
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
