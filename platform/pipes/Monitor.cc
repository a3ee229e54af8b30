#include "platform/pipes/Monitor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/Mutex.h"
#include "base/NoDestructor.h"
#include "base/SwallowFailures.h"
#include "platform/base/UniqueFd.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/Runtime.h"
#include "services/MonitorSocket.h"
#include "services/ServiceErrors.h"

namespace Norv::ServiceModel {
namespace v1 = norv::contracts::v1;

namespace internal {
namespace {

using Platform::internal::UniqueFd;

std::int64_t CoarseNowNs() noexcept {
  // A vDSO read: no system call on the path of every call.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::uint64_t RealtimeNs() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

bool FillAddress(const std::string& path, sockaddr_un* address) noexcept {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// This process's name as the kernel keeps it (/proc/self/comm).
std::string OwnName() {
  char name[64] = {};
  UniqueFd fd(::open("/proc/self/comm", O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return {};
  ssize_t got = ::read(fd.Get(), name, sizeof name - 1);
  if (got <= 0) return {};
  std::string text(name, static_cast<std::size_t>(got));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Appends `value` as a protobuf varint.
void AppendVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// MonitorBatch field numbers (monitor.proto).
constexpr std::uint8_t kBatchEventsTag = (1 << 3) | 2;
constexpr std::uint8_t kBatchDroppedTag = (2 << 3) | 0;

class MonitorSet {
 public:
  bool Attached() noexcept {
    if (InForkedChild()) return false;  // the parent's monitors, not ours to count
    const std::int64_t now = CoarseNowNs();
    if (now >= nextCheckNs_.load(std::memory_order_relaxed)) Refresh(now);
    return attached_.load(std::memory_order_relaxed);
  }

  // Queues the event for the flusher: the calling thread only encodes it
  // and takes a short lock. The first event after a quiet spell (nothing
  // sent for kFlushEvery) goes out at once from the calling thread, with a
  // non-blocking send: so an isolated call shows at once, and the one call
  // of a short-lived process is not lost with it. An urgent event (a
  // session's start, calls and end: rare, and often a process's last words)
  // goes out at once with whatever waits.
  void Report(v1::MonitorEvent& event, bool urgent) noexcept {
    Base::SwallowFailures([&] {
      event.set_reporter_pid(static_cast<std::int32_t>(::getpid()));
      if (event.time_unix_nanos() == 0) event.set_time_unix_nanos(RealtimeNs());
      std::string bytes = event.SerializeAsString();
      bool sendNow = false;
      {
        Base::MutexLock lock(&queueMu_);
        if (pendingBytes_ + bytes.size() > kMaxPendingBytes) {
          ++overflow_;
          return;
        }
        pendingBytes_ += bytes.size();
        pending_.push_back(std::move(bytes));
        const std::int64_t time = CoarseNowNs();
        if (urgent || time - lastSendNs_ >= std::chrono::nanoseconds(kFlushEvery).count()) {
          lastSendNs_ = time;
          sendNow = true;
        } else if (!flushing_) {
          StartFlusherLocked();
        }
      }
      if (sendNow) SendPending();
    });
  }

  const std::string& Name() {
    Base::MutexLock lock(&nameMu_);
    if (!nameKnown_) {
      name_ = OwnName();
      nameKnown_ = true;
    }
    return name_;
  }

 private:
  struct Target {
    std::string path;
    std::uint64_t dropped = 0;
  };

  // Events wait at most this long, so that a monitor is woken some hundred
  // times a second at most, however many calls run.
  static constexpr std::chrono::milliseconds kFlushEvery{10};
  // An idle flusher ends after this many empty rounds (one second).
  static constexpr int kIdleRounds = 100;
  // What may wait for the flusher; more is dropped and counted.
  static constexpr std::size_t kMaxPendingBytes = 4 << 20;
  // A datagram stays well below the default socket send buffer.
  static constexpr std::size_t kMaxDatagramBytes = 48 << 10;

  void Refresh(std::int64_t now) noexcept {
    Base::MutexLock lock(&mu_);
    if (now < nextCheckNs_.load(std::memory_order_relaxed)) return;  // another thread did
    nextCheckNs_.store(now + std::chrono::nanoseconds(kMonitorRecheck).count(),
                       std::memory_order_relaxed);
    // The lambda runs here, under the lock taken above; the analysis does not
    // follow a held lock into a lambda.
    Base::SwallowFailures([&]() ABSL_NO_THREAD_SAFETY_ANALYSIS { RescanLocked(); });
    attached_.store(!targets_.empty(), std::memory_order_relaxed);
  }

  void RescanLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) {
    const std::string dir = MonitorDirectory(EndpointDirectory());
    struct stat info {};
    // Only a real directory of this user, closed to others, may name the
    // sockets this process sends its calls' details to.
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
      targets_.clear();
      dirKnown_ = false;
      return;
    }
    if (dirKnown_ && info.st_ino == dirInode_ && info.st_mtim.tv_sec == dirChanged_.tv_sec &&
        info.st_mtim.tv_nsec == dirChanged_.tv_nsec) {
      return;
    }
    dirKnown_ = true;
    dirInode_ = info.st_ino;
    dirChanged_ = info.st_mtim;
    std::vector<Target> found;
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
      targets_.clear();
      return;
    }
    while (dirent* entry = ::readdir(listing)) {
      std::string_view name = entry->d_name;
      if (name.size() <= 5 || name.substr(name.size() - 5) != ".sock") continue;
      std::string path = dir + "/" + std::string(name);
      struct stat socketInfo {};
      if (::lstat(path.c_str(), &socketInfo) != 0 || !S_ISSOCK(socketInfo.st_mode)) continue;
      Target target{path, 0};
      for (const Target& known : targets_) {
        if (known.path == path) target.dropped = known.dropped;
      }
      found.push_back(std::move(target));
    }
    ::closedir(listing);
    targets_ = std::move(found);
  }

  // The flusher is a thread of its own only while events flow: it ends
  // after a second without any, and the next event starts a new one. It is
  // detached because nothing may wait for it (process exit joins no
  // thread), and it touches only this never-destroyed object.
  void StartFlusherLocked() ABSL_EXCLUSIVE_LOCKS_REQUIRED(queueMu_) {
    flushing_ = true;
    try {
      std::thread([this] { FlushLoop(); }).detach();
    } catch (const std::system_error&) {
      flushing_ = false;  // no thread to be had: the events wait for the next try
    }
  }

  void TakeLocked(std::vector<std::string>& events, std::uint64_t& overflow)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(queueMu_) {
    events.swap(pending_);
    pendingBytes_ = 0;
    overflow = overflow_;
    overflow_ = 0;
  }

  // Sends what waits. The send lock is taken before the queue is emptied, so
  // that an urgent event (often a process's last) leaves only after a batch
  // another thread took before it: nothing taken is left unsent at exit.
  // Returns whether anything waited.
  bool SendPending() {
    Base::MutexLock sending(&mu_);
    std::vector<std::string> events;
    std::uint64_t overflow = 0;
    {
      Base::MutexLock lock(&queueMu_);
      if (pending_.empty() && overflow_ == 0) return false;
      lastSendNs_ = CoarseNowNs();
      TakeLocked(events, overflow);
    }
    SendLocked(events, overflow);
    return true;
  }

  // Tells each monitor that lost events, with a datagram of the count only,
  // when no event is left to carry it: a monitor that reads again after a
  // burst hears of its losses even if no call follows.
  void SendDroppedCounts() {
    Base::MutexLock sending(&mu_);
    for (const Target& target : targets_) {
      if (target.dropped != 0) {
        SendLocked({}, 0);
        return;
      }
    }
  }

  void FlushLoop() {
    int idle = 0;
    for (;;) {
      std::this_thread::sleep_for(kFlushEvery);
      bool sent = false;
      Base::SwallowFailures([&] { sent = SendPending(); });
      if (sent) {
        idle = 0;
        continue;
      }
      // During the idle second only: a count still unsent after it goes out
      // with the next event.
      Base::SwallowFailures([&] { SendDroppedCounts(); });
      Base::MutexLock lock(&queueMu_);
      if (pending_.empty() && ++idle >= kIdleRounds) {
        flushing_ = false;
        return;
      }
    }
  }

  // Sends the events as MonitorBatch datagrams to every monitor.
  void SendLocked(const std::vector<std::string>& events, std::uint64_t overflow)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) {
    // The batches' events, encoded once; each monitor's dropped count is
    // appended to its copy of a batch. No events make one empty batch, sent
    // only to a monitor with a count to hear.
    std::vector<std::pair<std::string, std::uint64_t>> batches;  // bytes, event count
    if (events.empty()) batches.emplace_back();
    for (const std::string& event : events) {
      if (batches.empty() || batches.back().first.size() + event.size() > kMaxDatagramBytes) {
        batches.emplace_back();
      }
      std::string& bytes = batches.back().first;
      bytes.push_back(static_cast<char>(kBatchEventsTag));
      AppendVarint(bytes, event.size());
      bytes += event;
      ++batches.back().second;
    }
    if (targets_.empty()) return;
    if (socket_.Get() < 0) {
      socket_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (socket_.Get() < 0) return;
    }
    std::string datagram;
    for (auto it = targets_.begin(); it != targets_.end();) {
      sockaddr_un address{};
      bool gone = !FillAddress(it->path, &address);
      it->dropped += overflow;
      for (const auto& [bytes, count] : batches) {
        if (gone) break;
        if (count == 0 && it->dropped == 0) continue;
        datagram = bytes;
        if (it->dropped != 0) {
          datagram.push_back(static_cast<char>(kBatchDroppedTag));
          AppendVarint(datagram, it->dropped);
        }
        if (::sendto(socket_.Get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&address), sizeof address) >= 0) {
          it->dropped = 0;
          continue;
        }
        const int error = errno;
        if (error == ECONNREFUSED) {
          // Its monitor is gone; the file would only make every process try it.
          ::unlink(it->path.c_str());
          gone = true;
        } else if (error == ENOENT) {
          gone = true;
        } else {
          it->dropped += count;  // EAGAIN above all: the monitor does not keep up
        }
      }
      it = gone ? targets_.erase(it) : it + 1;
    }
    attached_.store(!targets_.empty(), std::memory_order_relaxed);
  }

  std::atomic<std::int64_t> nextCheckNs_{0};
  std::atomic<bool> attached_{false};
  // Guards the monitors and the sending; taken before queueMu_.
  Base::Mutex mu_;
  bool dirKnown_ ABSL_GUARDED_BY(mu_) = false;
  ino_t dirInode_ ABSL_GUARDED_BY(mu_) = 0;
  timespec dirChanged_ ABSL_GUARDED_BY(mu_){};
  std::vector<Target> targets_ ABSL_GUARDED_BY(mu_);
  UniqueFd socket_ ABSL_GUARDED_BY(mu_);
  // Apart from mu_, which the flusher holds while it sends.
  Base::Mutex nameMu_;
  bool nameKnown_ ABSL_GUARDED_BY(nameMu_) = false;
  std::string name_ ABSL_GUARDED_BY(nameMu_);
  // Taken by callers for a moment only: never held across a system call.
  Base::Mutex queueMu_;
  std::vector<std::string> pending_ ABSL_GUARDED_BY(queueMu_);
  std::size_t pendingBytes_ ABSL_GUARDED_BY(queueMu_) = 0;
  std::uint64_t overflow_ ABSL_GUARDED_BY(queueMu_) = 0;
  bool flushing_ ABSL_GUARDED_BY(queueMu_) = false;
  std::int64_t lastSendNs_ ABSL_GUARDED_BY(queueMu_) = 0;
};

// Never destroyed: a call made at exit may still report.
MonitorSet& Monitors() {
  static Base::NoDestructor<MonitorSet> monitors;
  return *monitors;
}

std::uint64_t NanosSince(std::chrono::steady_clock::time_point started) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now() - started)
                                        .count());
}

std::string_view OperationOf(std::string_view method) {
  std::size_t slash = method.rfind('/');
  return slash == std::string_view::npos ? method : method.substr(slash + 1);
}

// Reports one unary call of the host's contracts as the host served it.
class MonitorInterceptor final : public grpc::experimental::Interceptor {
 public:
  MonitorInterceptor(grpc::experimental::ServerRpcInfo* info, std::int32_t pid,
                     const std::string& endpoint, const PeerLookup& peers)
      : info_(info), peers_(peers), started_(std::chrono::steady_clock::now()) {
    event_.set_kind(v1::MonitorEvent::UNARY_CALL);
    event_.set_side(v1::MonitorEvent::HOST);
    event_.set_callee_pid(pid);
    event_.set_endpoint(endpoint);
    event_.set_operation(std::string(OperationOf(info->method())));
  }

  void Intercept(grpc::experimental::InterceptorBatchMethods* methods) override {
    using grpc::experimental::InterceptionHookPoints;
    if (methods->QueryInterceptionHookPoint(InterceptionHookPoints::POST_RECV_MESSAGE)) {
      // The contracts' messages are all generated protobuf messages.
      if (const void* message = methods->GetRecvMessage()) {
        requestBytes_ += static_cast<const google::protobuf::MessageLite*>(message)->ByteSizeLong();
      }
    }
    if (methods->QueryInterceptionHookPoint(InterceptionHookPoints::PRE_SEND_MESSAGE)) {
      if (const void* message = methods->GetSendMessage()) {
        replyBytes_ += static_cast<const google::protobuf::MessageLite*>(message)->ByteSizeLong();
      }
    }
    if (methods->QueryInterceptionHookPoint(InterceptionHookPoints::PRE_SEND_STATUS)) {
      grpc::Status status = methods->GetSendStatus();
      event_.set_status(std::string(StatusName(status.error_code())));
      if (!status.ok()) event_.set_fault(status.error_message());
      Base::SwallowFailures([&] { SetCaller(info_->server_context()->peer()); });
      event_.set_duration_nanos(NanosSince(started_));
      event_.set_request_bytes(requestBytes_);
      event_.set_reply_bytes(replyBytes_);
      Monitors().Report(event_, false);
    }
    methods->Proceed();
  }

 private:
  // The caller as the host's acceptor knows it; gRPC's own name of the
  // connection when it does not.
  void SetCaller(const std::string& grpcPeer) {
    const PeerIdentity peer = peers_ ? peers_(grpcPeer) : PeerIdentity{};
    event_.set_caller_pid(peer.pid);
    event_.set_caller(peer.pid != 0 ? peer.processName : grpcPeer);
  }

  grpc::experimental::ServerRpcInfo* info_;
  const PeerLookup& peers_;
  std::chrono::steady_clock::time_point started_;
  v1::MonitorEvent event_;
  std::uint64_t requestBytes_ = 0;
  std::uint64_t replyBytes_ = 0;
};

class MonitorFactory final : public grpc::experimental::ServerInterceptorFactoryInterface {
 public:
  MonitorFactory(std::int32_t pid, std::string endpoint, PeerLookup peers)
      : pid_(pid), endpoint_(std::move(endpoint)), peers_(std::move(peers)) {}

  grpc::experimental::Interceptor* CreateServerInterceptor(
      grpc::experimental::ServerRpcInfo* info) override {
    // Streams are left alone (an interceptor costs each of their messages;
    // sessions report their own events), and so are the standard
    // services, whose messages are not all generated ones.
    if (info->type() != grpc::experimental::ServerRpcInfo::Type::UNARY) return nullptr;
    if (std::string_view(info->method()).rfind("/norv.contracts.v1.", 0) != 0) return nullptr;
    if (!MonitorAttached()) return nullptr;
    return new MonitorInterceptor(info, pid_, endpoint_, peers_);
  }

 private:
  const std::int32_t pid_;
  const std::string endpoint_;
  const PeerLookup peers_;
};

}  // namespace

std::string MonitorDirectory(const std::string& endpointDir) { return endpointDir + "/monitors"; }

bool MonitorAttached() noexcept { return Monitors().Attached(); }

void ReportToMonitors(v1::MonitorEvent& event, bool urgent) noexcept {
  Monitors().Report(event, urgent);
}

v1::MonitorEvent ClientEvent(v1::MonitorEvent::Kind kind, std::int32_t pid,
                             std::string_view endpoint, std::string_view operation,
                             std::chrono::steady_clock::time_point started) {
  v1::MonitorEvent event;
  event.set_kind(kind);
  event.set_side(v1::MonitorEvent::CLIENT);
  event.set_caller_pid(static_cast<std::int32_t>(::getpid()));
  event.set_caller(Monitors().Name());
  event.set_callee_pid(pid);
  event.set_endpoint(std::string(endpoint));
  event.set_operation(std::string(operation));
  event.set_duration_nanos(NanosSince(started));
  return event;
}

void ReportHostSessionEvent(v1::MonitorEvent::Kind kind, const PeerIdentity& peer, std::int32_t pid,
                            std::string_view endpoint, std::string_view operation,
                            std::chrono::steady_clock::time_point started, std::string_view status,
                            std::string_view fault, std::string_view answer) noexcept {
  Base::SwallowFailures([&] {
    v1::MonitorEvent event;
    event.set_kind(kind);
    event.set_side(v1::MonitorEvent::HOST);
    event.set_caller_pid(peer.pid);
    event.set_caller(peer.processName);
    event.set_callee_pid(pid);
    event.set_endpoint(std::string(endpoint));
    event.set_operation(std::string(operation));
    event.set_duration_nanos(NanosSince(started));
    event.set_status(std::string(status));
    event.set_fault(std::string(fault));
    event.set_answer(std::string(answer));
    Monitors().Report(event, kind != v1::MonitorEvent::CALLBACK);
  });
}

std::string_view StatusName(grpc::StatusCode code) noexcept {
  switch (code) {
    case grpc::StatusCode::OK:
      return "ok";
    case grpc::StatusCode::UNKNOWN:
      return "fault";
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      return "timeout";
    case grpc::StatusCode::RESOURCE_EXHAUSTED:
      return "quota-exceeded";
    case grpc::StatusCode::UNAVAILABLE:
      return "unavailable";
    case grpc::StatusCode::CANCELLED:
      return "cancelled";
    default:
      return "failed";
  }
}

void ReportClientCall(std::int32_t pid, std::string_view endpoint, std::string_view operation,
                      std::chrono::steady_clock::time_point started, const grpc::Status& status,
                      std::size_t requestBytes, std::size_t replyBytes) noexcept {
  Base::SwallowFailures([&] {
    v1::MonitorEvent event =
        ClientEvent(v1::MonitorEvent::UNARY_CALL, pid, endpoint, operation, started);
    event.set_status(std::string(StatusName(status.error_code())));
    if (!status.ok()) event.set_fault(status.error_message());
    event.set_request_bytes(requestBytes);
    event.set_reply_bytes(replyBytes);
    Monitors().Report(event, false);
  });
}

std::unique_ptr<grpc::experimental::ServerInterceptorFactoryInterface> MonitorInterceptorFactory(
    std::int32_t pid, std::string name, PeerLookup peers) {
  return std::make_unique<MonitorFactory>(pid, std::move(name), std::move(peers));
}

}  // namespace internal

MonitorSocket::MonitorSocket() {
  using namespace internal;
  const std::string endpointDir = EndpointDirectory();
  const std::string what = "attaching a monitor";
  CheckEndpointDirectory(endpointDir, true, what);
  const std::string dir = MonitorDirectory(endpointDir);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw AddressAccessDeniedException(what + ": cannot create " + dir + ": " +
                                       std::strerror(errno));
  }
  CheckEndpointDirectory(dir, false, what);
  path_ = dir + "/" + std::to_string(::getpid()) + ".sock";
  sockaddr_un address{};
  if (!FillAddress(path_, &address)) {
    throw AddressAccessDeniedException(what + ": the path " + path_ + " is too long for a socket");
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) {
    throw AddressAccessDeniedException(what + ": socket: " + std::strerror(errno));
  }
  ::unlink(path_.c_str());  // left by an earlier process of this id that died
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw AddressAccessDeniedException(what + ": cannot bind " + path_ + ": " +
                                       std::strerror(errno));
  }
  fd_ = fd.Release();
}

MonitorSocket::~MonitorSocket() {
  if (fd_ >= 0) ::close(fd_);
  ::unlink(path_.c_str());
}

}  // namespace Norv::ServiceModel
