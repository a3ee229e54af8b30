#include "tests/pipes/TestServices.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace Norv::Testing {

namespace {

// Counts overlapping operations; the host must hand them over one at a time.
class InFlight {
 public:
  explicit InFlight(FakeDataService& service) : service_(service) {
    if (service_.inFlight.fetch_add(1) != 0) service_.overlapped = true;
  }
  ~InFlight() { service_.inFlight.fetch_sub(1); }

 private:
  FakeDataService& service_;
};

}  // namespace

void FakeDataService::LogOn(const String& projectPath, const String& user, const String& password,
                            const String& author) {
  InFlight guard(*this);
  if (!fault.empty()) throw std::runtime_error(fault);
  std::lock_guard lock(mu);
  logOnArguments = {projectPath, user, password, author};
}

bool FakeDataService::IsProjectAdmin(const String& projectPath, const String&, const String&) {
  InFlight guard(*this);
  return projectPath == ServiceString(u"admin");
}

double FakeDataService::GetForecastEUR(const String&, const String&, const String&,
                                       std::int32_t boreholeId, const String&, const String&) {
  InFlight guard(*this);
  if (onForecast) onForecast();
  return boreholeId * 2.0;
}

void RecordingShutdown::Subscribe(std::int32_t key) {
  auto* context = ServiceModel::OperationContext::Current();
  auto channel = context->GetCallbackChannel<IShutdownCallback>();
  std::lock_guard lock(mu_);
  clients_[key] = std::move(channel);
  cv_.notify_all();
}

void RecordingShutdown::Unsubscribe(std::int32_t key) {
  std::lock_guard lock(mu_);
  clients_.erase(key);
  cv_.notify_all();
}

std::shared_ptr<IShutdownCallback> RecordingShutdown::Channel(std::int32_t key) {
  std::lock_guard lock(mu_);
  auto it = clients_.find(key);
  return it == clients_.end() ? nullptr : it->second;
}

std::vector<std::int32_t> RecordingShutdown::Keys() {
  std::lock_guard lock(mu_);
  std::vector<std::int32_t> keys;
  for (const auto& [key, channel] : clients_) keys.push_back(key);
  return keys;
}

std::shared_ptr<IShutdownCallback> RecordingShutdown::WaitForSubscriber(std::int32_t key) {
  std::unique_lock lock(mu_);
  cv_.wait_for(lock, std::chrono::seconds(30), [&] { return clients_.count(key) != 0; });
  auto it = clients_.find(key);
  return it == clients_.end() ? nullptr : it->second;
}

bool ScriptedCallback::RequestShutdown() {
  ++requests;
  return onRequest();
}

void ScriptedCallback::ForceShutdown() { ++forced; }

std::optional<std::string> ListServicesByReflection(const std::string& path) {
  auto channel = grpc::CreateChannel("unix:" + path, grpc::InsecureChannelCredentials());
  grpc::GenericStub stub(channel);
  // ServerReflectionRequest{list_services: ""}: field 7, length-delimited, empty.
  const char kListServices[] = {0x3A, 0x00};
  grpc::Slice slice(kListServices, sizeof(kListServices));
  grpc::ByteBuffer request(&slice, 1);
  grpc::ByteBuffer reply;
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(30));
  std::promise<grpc::Status> done;
  stub.UnaryCall(&context, "/grpc.reflection.v1alpha.ServerReflection/ServerReflectionInfo",
                 grpc::StubOptions(), &request, &reply,
                 [&done](grpc::Status status) { done.set_value(std::move(status)); });
  grpc::Status status = done.get_future().get();
  if (status.error_code() == grpc::StatusCode::UNIMPLEMENTED) return std::nullopt;
  if (!status.ok()) throw std::runtime_error("reflection failed: " + status.error_message());
  std::vector<grpc::Slice> slices;
  reply.Dump(&slices);
  std::string bytes;
  for (const grpc::Slice& part : slices) {
    bytes.append(reinterpret_cast<const char*>(part.begin()), part.size());
  }
  return bytes;
}

bool Eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

PeerProcess::PeerProcess(const std::vector<std::string>& arguments) {
  std::string program = (BinaryDir() / "tests" / "pipes" / "norv_pipes_peer").string();
  int outFds[2];
  int inFds[2];
  if (::pipe2(outFds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
  if (::pipe2(inFds, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(outFds[0]);
    ::close(outFds[1]);
    throw std::system_error(error, std::generic_category());
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, inFds[0], STDIN_FILENO);
  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outFds[1]);
  ::close(inFds[0]);
  out_ = outFds[0];
  in_ = inFds[1];
  if (rc != 0) {
    ::close(out_);
    ::close(in_);
    throw std::system_error(rc, std::generic_category(), "posix_spawn " + program);
  }
}

void PeerProcess::WriteLine(const std::string& line) {
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = ::write(in_, data.data() + done, data.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write to norv_pipes_peer");
    }
    done += static_cast<std::size_t>(wrote);
  }
}

void PeerProcess::CloseInput() noexcept {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

PeerProcess::~PeerProcess() {
  CloseInput();
  Kill();
  if (out_ >= 0) ::close(out_);
}

std::string PeerProcess::ReadLine() {
  for (;;) {
    auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    char chunk[256];
    ssize_t n = ::read(out_, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::string();
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

void PeerProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace Norv::Testing
