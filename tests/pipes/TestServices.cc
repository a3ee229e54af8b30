#include "tests/pipes/TestServices.h"

#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

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
  if (auto* context = ServiceModel::OperationContext::Current()) logOnPeer = context->Peer();
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

std::vector<std::string> PeerArgv(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {(BinaryDir() / "tests" / "pipes" / "norv_pipes_peer").string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

}  // namespace Norv::Testing
