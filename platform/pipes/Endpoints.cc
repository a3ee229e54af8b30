// ListEndpoints and PruneStaleEndpoints: the endpoint directory seen from
// outside its hosts.
//
// The two gRPC services asked here (grpc.health.v1.Health and
// grpc.reflection.v1alpha.ServerReflection) have no generated code we could
// link: Debian ships neither .proto, and the reflection messages already live
// in gRPC's reflection library, where a second generated copy would clash in
// protobuf's descriptor pool. The few fields read are encoded by hand on raw
// byte buffers instead. The introspection service is ours: its generated
// code is in libnorv-contracts.so.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/client_unary_call.h>
#include <grpcpp/support/sync_stream.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "norv/contracts/v1/introspection.grpc.pb.h"
#include "platform/base/UniqueFd.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/HealthService.h"
#include "platform/pipes/Runtime.h"
#include "services/EndpointListing.h"
#include "services/ServiceErrors.h"

namespace Norv::ServiceModel {

namespace internal {
namespace {

using google::protobuf::internal::WireFormatLite;
using Platform::internal::UniqueFd;

constexpr const char* kWhat = "listing the endpoints";
constexpr const char* kHealthCheck = "/grpc.health.v1.Health/Check";
constexpr const char* kReflectionInfo =
    "/grpc.reflection.v1alpha.ServerReflection/ServerReflectionInfo";

class Dir {
 public:
  explicit Dir(const std::string& path) : dir_(::opendir(path.c_str())) {}
  ~Dir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  DIR* Get() const noexcept { return dir_; }

 private:
  DIR* dir_;
};

std::optional<std::string> DecodeEndpointName(std::string_view encoded) {
  std::string out;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      out.push_back(encoded[i]);
      continue;
    }
    if (i + 2 >= encoded.size()) return std::nullopt;
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int high = hex(encoded[i + 1]);
    int low = hex(encoded[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

// "<pid>.<encoded name>.sock" or ".lock": the pid, the encoded name and
// whether it is the socket.
struct FileName {
  std::int32_t pid;
  std::string encoded;
  bool socket;
};

std::optional<FileName> ParseFileName(std::string_view file) {
  bool socket;
  if (file.size() > 5 && file.substr(file.size() - 5) == ".sock") {
    socket = true;
  } else if (file.size() > 5 && file.substr(file.size() - 5) == ".lock") {
    socket = false;
  } else {
    return std::nullopt;
  }
  std::string_view stem = file.substr(0, file.size() - 5);
  std::size_t dot = stem.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == stem.size()) return std::nullopt;
  std::string_view digits = stem.substr(0, dot);
  std::size_t start = digits[0] == '-' ? 1 : 0;
  if (start == digits.size()) return std::nullopt;
  std::int64_t pid = 0;
  for (std::size_t i = start; i < digits.size(); ++i) {
    if (digits[i] < '0' || digits[i] > '9' || i - start > 10) return std::nullopt;
    pid = pid * 10 + (digits[i] - '0');
  }
  if (start == 1) pid = -pid;
  if (pid < INT32_MIN || pid > INT32_MAX) return std::nullopt;
  // Only the form the component writes, so that the paths it would use for
  // this (pid, name) are exactly these files.
  if (std::to_string(pid) != digits) return std::nullopt;
  return FileName{static_cast<std::int32_t>(pid), std::string(stem.substr(dot + 1)), socket};
}

std::string ProcessName(std::int32_t pid) {
  if (pid <= 0) return "";
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!comm || !std::getline(comm, name)) return "";
  return name;
}

// The flock locks of the system by (device, inode), with the process that
// took each, read from /proc/locks. nullopt when the table cannot be read.
using LockKey = std::pair<dev_t, ino_t>;

std::optional<std::map<LockKey, std::int32_t>> FlockTable() {
  std::ifstream locks("/proc/locks");
  if (!locks) return std::nullopt;
  std::map<LockKey, std::int32_t> table;
  std::string line;
  // "1: FLOCK  ADVISORY  WRITE 4242 fd:01:123456 0 EOF"; a waiter's line has
  // "->" after the number and holds nothing.
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, device;
    std::int64_t pid = 0;
    if (!(fields >> number >> kind) || kind != "FLOCK") continue;
    if (!(fields >> mode >> access >> pid >> device)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(device.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    table.emplace(LockKey{makedev(major, minor), static_cast<ino_t>(inode)},
                  static_cast<std::int32_t>(pid));
  }
  return table;
}

// Whether somebody holds the lock file at `path`, and who when known. Read
// from the lock table, so that listing never takes a lock a host may be
// about to take; only without /proc/locks does it try the lock itself.
bool LockHeld(const std::string& path, const std::optional<std::map<LockKey, std::int32_t>>& table,
              std::int32_t* holder) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (table) {
    auto it = table->find(LockKey{st.st_dev, st.st_ino});
    if (it == table->end()) return false;
    *holder = it->second;
    return true;
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.Get() < 0) return false;
  if (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  ::flock(fd.Get(), LOCK_UN);
  return false;
}

std::string HealthStatusName(std::uint64_t status) {
  switch (status) {
    case kHealthUnknown:
      return "UNKNOWN";
    case kHealthServing:
      return "SERVING";
    case kHealthNotServing:
      return "NOT_SERVING";
    case kHealthServiceUnknown:
      return "SERVICE_UNKNOWN";
    default:
      return "status " + std::to_string(status);
  }
}

// HealthCheckResponse { ServingStatus status = 1; }
std::optional<std::string> ParseHealthResponse(const std::string& bytes) {
  google::protobuf::io::CodedInputStream in(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            static_cast<int>(bytes.size()));
  std::uint64_t status = 0;
  while (std::uint32_t tag = in.ReadTag()) {
    if (tag == WireFormatLite::MakeTag(1, WireFormatLite::WIRETYPE_VARINT)) {
      if (!in.ReadVarint64(&status)) return std::nullopt;
    } else if (!WireFormatLite::SkipField(&in, tag)) {
      return std::nullopt;
    }
  }
  if (!in.ConsumedEntireMessage()) return std::nullopt;
  return HealthStatusName(status);
}

// ServerReflectionResponse { ListServiceResponse list_services_response = 6;
// ErrorResponse error_response = 7; ... }, ListServiceResponse { repeated
// ServiceResponse service = 1; }, ServiceResponse { string name = 1; }.
std::optional<std::vector<std::string>> ParseListServices(const std::string& bytes) {
  using Input = google::protobuf::io::CodedInputStream;
  const std::uint32_t kLengthOf1 =
      WireFormatLite::MakeTag(1, WireFormatLite::WIRETYPE_LENGTH_DELIMITED);
  auto readField = [](Input& in, std::uint32_t wanted, const auto& onField) -> bool {
    while (std::uint32_t tag = in.ReadTag()) {
      if (tag == wanted) {
        std::uint32_t length = 0;
        if (!in.ReadVarint32(&length)) return false;
        Input::Limit limit = in.PushLimit(static_cast<int>(length));
        if (!onField(in, length)) return false;
        if (in.BytesUntilLimit() != 0) return false;
        in.PopLimit(limit);
      } else if (!WireFormatLite::SkipField(&in, tag)) {
        return false;
      }
    }
    return in.ConsumedEntireMessage();
  };
  Input in(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
  std::vector<std::string> names;
  bool listed = false;
  bool ok =
      readField(in, WireFormatLite::MakeTag(6, WireFormatLite::WIRETYPE_LENGTH_DELIMITED),
                [&](Input& list, std::uint32_t) {
                  listed = true;
                  return readField(list, kLengthOf1, [&](Input& service, std::uint32_t) {
                    return readField(service, kLengthOf1, [&](Input& name, std::uint32_t length) {
                      std::string text;
                      if (!name.ReadString(&text, static_cast<int>(length))) return false;
                      names.push_back(std::move(text));
                      return true;
                    });
                  });
                });
  if (!ok || !listed) return std::nullopt;
  std::sort(names.begin(), names.end());
  return names;
}

std::string Milliseconds(std::chrono::milliseconds span) {
  return std::to_string(span.count()) + " ms";
}

// Asks the health service and, when the host answers, reflection. Each call
// has its own deadline.
void ProbeGrpc(EndpointInfo& info, std::chrono::milliseconds timeout) {
  std::shared_ptr<grpc::Channel> channel = NewChannel(info.socketPath);
  {
    grpc::ClientContext context;
    context.set_deadline(DeadlineAfter(timeout));
    grpc::internal::RpcMethod method(kHealthCheck, grpc::internal::RpcMethod::NORMAL_RPC);
    grpc::ByteBuffer reply;
    grpc::Status status = grpc::internal::BlockingUnaryCall<grpc::ByteBuffer, grpc::ByteBuffer>(
        channel.get(), method, &context, Buffer(""), &reply);
    switch (status.error_code()) {
      case grpc::StatusCode::OK:
        info.answers = true;
        if (auto health = ParseHealthResponse(Bytes(reply))) {
          info.health = *health;
        } else {
          info.problem = "its health service sent a reply that is not a HealthCheckResponse";
        }
        break;
      case grpc::StatusCode::UNIMPLEMENTED:
      case grpc::StatusCode::NOT_FOUND:
        // A gRPC server without the health service: it answers all the same.
        info.answers = true;
        break;
      case grpc::StatusCode::DEADLINE_EXCEEDED:
        info.problem = "it accepts connections but did not answer within " + Milliseconds(timeout);
        return;
      default:
        info.problem =
            "it accepts connections but the health check failed: " + status.error_message();
        return;
    }
  }
  grpc::ClientContext context;
  context.set_deadline(DeadlineAfter(timeout));
  grpc::internal::RpcMethod method(kReflectionInfo, grpc::internal::RpcMethod::BIDI_STREAMING);
  std::unique_ptr<grpc::ClientReaderWriter<grpc::ByteBuffer, grpc::ByteBuffer>> stream(
      grpc::internal::ClientReaderWriterFactory<grpc::ByteBuffer, grpc::ByteBuffer>::Create(
          channel.get(), method, &context));
  // ServerReflectionRequest { string list_services = 7; }, empty.
  std::string request;
  request.push_back(
      static_cast<char>(WireFormatLite::MakeTag(7, WireFormatLite::WIRETYPE_LENGTH_DELIMITED)));
  request.push_back('\0');
  grpc::ByteBuffer reply;
  bool got = stream->Write(Buffer(request)) && stream->WritesDone() && stream->Read(&reply);
  if (got) {
    if (auto names = ParseListServices(Bytes(reply))) {
      info.reflection = true;
      info.services = std::move(*names);
    }
    // Drain to the end of the stream so that Finish does not wait for more.
    grpc::ByteBuffer more;
    while (stream->Read(&more)) {
    }
  }
  context.TryCancel();
  stream->Finish();
}

// The process that listens on `path`, as the kernel recorded it when that
// process called listen(); 0 when nothing accepts.
std::int32_t ServerPid(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return 0;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) return 0;
  int rc;
  do {
    rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return 0;
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return 0;
  return credentials.pid;
}

std::chrono::system_clock::time_point FromUnixMs(std::int64_t ms) {
  if (ms == 0) return {};
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

// Asks the host's introspection service who is connected and, on a
// shutdown endpoint, who subscribed.
void ProbeIntrospection(EndpointInfo& info, std::chrono::milliseconds timeout) {
  namespace v1 = norv::contracts::v1;
  v1::Introspection::Stub stub(NewChannel(info.socketPath));
  grpc::ClientContext context;
  context.set_deadline(DeadlineAfter(timeout));
  v1::DescribeReply reply;
  if (!stub.Describe(&context, v1::DescribeRequest(), &reply).ok()) return;
  info.introspection = true;
  for (const v1::PeerConnection& peer : reply.connections()) {
    PeerIdentity identity;
    identity.pid = peer.pid();
    identity.uid = peer.uid();
    identity.processName = peer.process_name();
    identity.connectedAt = FromUnixMs(peer.connected_unix_ms());
    info.connections.push_back(std::move(identity));
  }
  info.hasRegistry = reply.has_registry();
  for (const v1::ShutdownSubscriber& subscriber : reply.subscribers()) {
    ShutdownSubscriberRecord record;
    record.key = subscriber.key();
    record.pid = subscriber.pid();
    record.uid = subscriber.uid();
    record.processName = subscriber.process_name();
    record.connected = subscriber.connected();
    record.subscribedAt = FromUnixMs(subscriber.subscribed_unix_ms());
    int answer = subscriber.last_answer();
    record.lastAnswer = answer >= 0 && answer <= static_cast<int>(ShutdownAnswer::kTimedOut)
                            ? static_cast<ShutdownAnswer>(answer)
                            : ShutdownAnswer::kNone;
    record.answeredAt = FromUnixMs(subscriber.answered_unix_ms());
    info.subscribers.push_back(std::move(record));
  }
  info.socketPathReplaced = reply.socket_path_replaced();
}

void Classify(EndpointInfo& info, ProbeResult probe) {
  const bool foreignServer = info.accepts && info.lockHeld && info.serverPid != 0 &&
                             info.lockHolder != 0 && info.serverPid != info.lockHolder;
  if (foreignServer) {
    info.state = EndpointState::kConflict;
    info.problem = "process " + std::to_string(info.serverPid) +
                   " serves the socket, but process " + std::to_string(info.lockHolder) +
                   " holds the endpoint's lock: the socket path was taken over";
  } else if (info.socketPathReplaced) {
    info.state = EndpointState::kConflict;
    info.problem = "the host finds another file than its own socket at " + info.socketPath;
  } else if (!info.socketPath.empty() && probe == ProbeResult::kRefused) {
    info.state = EndpointState::kUnusable;
    if (info.problem.empty()) {
      info.problem = "the socket file " + info.socketPath + " is not a socket or cannot be used";
    }
  } else if (info.accepts && !info.answers) {
    info.state = EndpointState::kUnresponsive;
  } else if (info.accepts && !info.lockHeld) {
    info.state = EndpointState::kUnlocked;
    info.problem = "something answers on the socket but nobody holds its lock file";
  } else if (info.accepts) {
    info.state = EndpointState::kLive;
  } else if (info.lockHeld) {
    info.state = EndpointState::kNotListening;
    info.problem = "a live host holds the lock but nothing accepts on the socket";
  } else {
    info.state = EndpointState::kStale;
    info.problem = info.socketPath.empty()
                       ? "a lock file that no live host holds"
                       : "nothing accepts on the socket and no live host holds its lock";
  }
}

}  // namespace
}  // namespace internal

std::string_view EndpointStateName(EndpointState state) noexcept {
  switch (state) {
    case EndpointState::kLive:
      return "live";
    case EndpointState::kUnresponsive:
      return "unresponsive";
    case EndpointState::kStale:
      return "stale";
    case EndpointState::kNotListening:
      return "not-listening";
    case EndpointState::kUnlocked:
      return "unlocked";
    case EndpointState::kUnusable:
      return "unusable";
    case EndpointState::kConflict:
      return "conflict";
  }
  return "unknown";
}

EndpointListing ListEndpoints(std::chrono::milliseconds probeTimeout) {
  using namespace internal;
  EndpointListing listing;
  listing.directory = EndpointDirectory();
  struct stat st {};
  if (::lstat(listing.directory.c_str(), &st) != 0 && errno == ENOENT) return listing;
  CheckEndpointDirectory(listing.directory, /*create=*/false, kWhat);
  RequireGrpcProcess(kWhat);  // the probes below are gRPC calls

  Dir dir(listing.directory);
  if (dir.Get() == nullptr) {
    int error = errno;
    throw AddressAccessDeniedException(std::string(kWhat) +
                                       ": cannot read the endpoint directory " + listing.directory +
                                       ": " + std::strerror(error));
  }
  std::map<std::pair<std::int32_t, std::string>, EndpointInfo> found;
  while (dirent* entry = ::readdir(dir.Get())) {
    std::optional<FileName> file = ParseFileName(entry->d_name);
    if (!file) continue;
    std::optional<std::string> name = DecodeEndpointName(file->encoded);
    // Only names the component would encode this way: anything else is not
    // an endpoint of ours.
    if (!name || EncodeEndpointName(*name) != file->encoded) continue;
    EndpointInfo& info = found[{file->pid, *name}];
    info.pid = file->pid;
    info.name = *name;
    (file->socket ? info.socketPath : info.lockPath) =
        (file->socket ? SocketPath : LockPath)(listing.directory, file->pid, *name);
  }

  auto table = FlockTable();
  for (auto& [key, info] : found) {
    info.processName = ProcessName(info.pid);
    if (!info.lockPath.empty()) info.lockHeld = LockHeld(info.lockPath, table, &info.lockHolder);
    ProbeResult probe = ProbeResult::kNobody;
    if (!info.socketPath.empty()) {
      struct stat socket {};
      bool isSocket = ::lstat(info.socketPath.c_str(), &socket) == 0 && S_ISSOCK(socket.st_mode);
      // connect() to a file that is no socket reports a refusal, like a dead one.
      probe = isSocket ? ProbeSocket(info.socketPath) : ProbeResult::kRefused;
      info.accepts = probe == ProbeResult::kListening;
      if (info.accepts) {
        info.serverPid = ServerPid(info.socketPath);
        ProbeGrpc(info, probeTimeout);
        if (info.answers) ProbeIntrospection(info, probeTimeout);
      }
    }
    Classify(info, probe);
    listing.endpoints.push_back(std::move(info));
  }
  return listing;
}

std::vector<std::string> PruneStaleEndpoints(const EndpointListing& listing) {
  using namespace internal;
  std::vector<std::string> removed;
  struct stat st {};
  if (::lstat(listing.directory.c_str(), &st) != 0 && errno == ENOENT) return removed;
  CheckEndpointDirectory(listing.directory, /*create=*/false, "pruning the endpoints");
  for (const EndpointInfo& info : listing.endpoints) {
    if (info.state != EndpointState::kStale) continue;
    const std::string socketPath = SocketPath(listing.directory, info.pid, info.name);
    const std::string lockPath = LockPath(listing.directory, info.pid, info.name);
    // The host's own protocol: hold the lock (creating the file when a
    // socket has none, so that no host starts meanwhile), make sure it is the
    // file at the path, make sure nothing accepts, then remove the socket
    // and, still holding the lock, the lock file.
    struct stat before {};
    const bool hadLock = ::lstat(lockPath.c_str(), &before) == 0;
    UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.Get() < 0) continue;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) continue;
    struct stat held {};
    struct stat named {};
    if (::fstat(fd.Get(), &held) != 0 || ::lstat(lockPath.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino || !S_ISREG(named.st_mode)) {
      continue;
    }
    struct stat socket {};
    const bool hasSocket = ::lstat(socketPath.c_str(), &socket) == 0;
    if ((hasSocket && !S_ISSOCK(socket.st_mode)) ||
        ProbeSocket(socketPath) == ProbeResult::kListening) {
      // Not ours to remove; only the lock file we created goes again.
      if (!hadLock) ::unlink(lockPath.c_str());
      continue;
    }
    if (hasSocket && ::unlink(socketPath.c_str()) == 0) removed.push_back(socketPath);
    if (::unlink(lockPath.c_str()) == 0 && hadLock) removed.push_back(lockPath);
  }
  return removed;
}

}  // namespace Norv::ServiceModel
