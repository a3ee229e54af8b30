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

class MonitorSet {
 public:
  bool Attached() noexcept {
    if (InForkedChild()) return false;  // the parent's monitors, not ours to count
    const std::int64_t now = CoarseNowNs();
    if (now >= nextCheckNs_.load(std::memory_order_relaxed)) Refresh(now);
    return attached_.load(std::memory_order_relaxed);
  }

  void Report(v1::MonitorEvent& event) noexcept {
    Base::SwallowFailures([&] { Send(event); });
  }

  const std::string& Name() {
    Base::MutexLock lock(&mu_);
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

  void Refresh(std::int64_t now) noexcept {
    Base::MutexLock lock(&mu_);
    if (now < nextCheckNs_.load(std::memory_order_relaxed)) return;  // another thread did
    nextCheckNs_.store(now + std::chrono::nanoseconds(kMonitorRecheck).count(),
                       std::memory_order_relaxed);
    Base::SwallowFailures([&] { RescanLocked(); });
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

  void Send(v1::MonitorEvent& event) {
    Base::MutexLock lock(&mu_);
    if (targets_.empty()) return;
    if (socket_.Get() < 0) {
      socket_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (socket_.Get() < 0) return;
    }
    event.set_reporter_pid(static_cast<std::int32_t>(::getpid()));
    if (event.time_unix_nanos() == 0) event.set_time_unix_nanos(RealtimeNs());
    std::string bytes;
    for (auto it = targets_.begin(); it != targets_.end();) {
      sockaddr_un address{};
      if (!FillAddress(it->path, &address)) {
        it = targets_.erase(it);
        continue;
      }
      event.set_dropped(it->dropped);
      bytes.clear();
      event.SerializeToString(&bytes);
      if (::sendto(socket_.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&address), sizeof address) >= 0) {
        it->dropped = 0;
        ++it;
        continue;
      }
      const int error = errno;
      if (error == ECONNREFUSED) {
        // Its monitor is gone; the file would only make every process try it.
        ::unlink(it->path.c_str());
        it = targets_.erase(it);
      } else if (error == ENOENT) {
        it = targets_.erase(it);
      } else {
        ++it->dropped;  // EAGAIN above all: the monitor does not keep up
        ++it;
      }
    }
    attached_.store(!targets_.empty(), std::memory_order_relaxed);
  }

  std::atomic<std::int64_t> nextCheckNs_{0};
  std::atomic<bool> attached_{false};
  Base::Mutex mu_;
  bool dirKnown_ ABSL_GUARDED_BY(mu_) = false;
  ino_t dirInode_ ABSL_GUARDED_BY(mu_) = 0;
  timespec dirChanged_ ABSL_GUARDED_BY(mu_){};
  std::vector<Target> targets_ ABSL_GUARDED_BY(mu_);
  UniqueFd socket_ ABSL_GUARDED_BY(mu_);
  bool nameKnown_ ABSL_GUARDED_BY(mu_) = false;
  std::string name_ ABSL_GUARDED_BY(mu_);
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
                     const std::string& endpoint)
      : info_(info), started_(std::chrono::steady_clock::now()) {
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
      Base::SwallowFailures([&] { event_.set_caller(info_->server_context()->peer()); });
      event_.set_duration_nanos(NanosSince(started_));
      event_.set_request_bytes(requestBytes_);
      event_.set_reply_bytes(replyBytes_);
      Monitors().Report(event_);
    }
    methods->Proceed();
  }

 private:
  grpc::experimental::ServerRpcInfo* info_;
  std::chrono::steady_clock::time_point started_;
  v1::MonitorEvent event_;
  std::uint64_t requestBytes_ = 0;
  std::uint64_t replyBytes_ = 0;
};

class MonitorFactory final : public grpc::experimental::ServerInterceptorFactoryInterface {
 public:
  MonitorFactory(std::int32_t pid, std::string endpoint)
      : pid_(pid), endpoint_(std::move(endpoint)) {}

  grpc::experimental::Interceptor* CreateServerInterceptor(
      grpc::experimental::ServerRpcInfo* info) override {
    // Streams are left alone (an interceptor costs each of their messages;
    // sessions are reported by the client library), and so are the standard
    // services, whose messages are not all generated ones.
    if (info->type() != grpc::experimental::ServerRpcInfo::Type::UNARY) return nullptr;
    if (std::string_view(info->method()).rfind("/norv.contracts.v1.", 0) != 0) return nullptr;
    if (!MonitorAttached()) return nullptr;
    return new MonitorInterceptor(info, pid_, endpoint_);
  }

 private:
  const std::int32_t pid_;
  const std::string endpoint_;
};

}  // namespace

std::string MonitorDirectory(const std::string& endpointDir) { return endpointDir + "/monitors"; }

bool MonitorAttached() noexcept { return Monitors().Attached(); }

void ReportToMonitors(v1::MonitorEvent& event) noexcept { Monitors().Report(event); }

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
    Monitors().Report(event);
  });
}

std::unique_ptr<grpc::experimental::ServerInterceptorFactoryInterface> MonitorInterceptorFactory(
    std::int32_t pid, std::string name) {
  return std::make_unique<MonitorFactory>(pid, std::move(name));
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
