// NamedPipeServiceHost: hosts a service object on a Unix socket with gRPC.
//
// Unary contracts (IDataService, IApplicationLauncher) run on gRPC's
// synchronous server threads. The duplex contract IShutdown runs on the
// callback API: one ServerBidiReactor per client session, so that dozens of
// idle subscribers cost no thread each. Session calls are handed to one
// dispatcher thread per host; the reactor goes on reading its stream while an
// operation or a callback waits, so a client that calls in while answering a
// callback stalls nothing. Every operation reaches the service object under
// the host's dispatch mutex: one contract operation at a time.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <grpcpp/ext/proto_server_reflection_plugin.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/server_builder_option.h>
#include <grpcpp/impl/server_builder_plugin.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "norv/contracts/v1/application_launcher.grpc.pb.h"
#include "norv/contracts/v1/data_service.grpc.pb.h"
#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/HostTesting.h"
#include "platform/pipes/Runtime.h"
#include "platform/pipes/WireValues.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel {

namespace v1 = norv::contracts::v1;
using Contracts::Service::IApplicationLauncher;
using Contracts::Service::IDataService;
using Contracts::Service::IShutdown;
using Contracts::Service::IShutdownCallback;

namespace internal {

namespace {

std::atomic<std::int64_t> gConnectMs{Timeouts{}.connect.count()};
std::atomic<std::int64_t> gCallMs{Timeouts{}.call.count()};
std::atomic<std::int64_t> gCallbackMs{Timeouts{}.callback.count()};
std::atomic<bool> gStepFails[4];

bool StepFails(testing::HostStep step) {
  return gStepFails[static_cast<int>(step)].load(std::memory_order_relaxed);
}

thread_local OperationContext* tCurrentContext = nullptr;

constexpr std::string_view kMexContract = "IMetadataExchange";
constexpr const char* kMexOperation = "ServerReflectionInfo";

// The wire contracts a host can serve, with their operations in the order of
// the C++ contract.
struct ContractInfo {
  std::string_view name;
  std::vector<const char*> operations;
  bool (*implementedBy)(IServiceContract*);
};

const std::vector<ContractInfo>& KnownContracts() {
  static const std::vector<ContractInfo> contracts = {
      {IDataService::kContractName,
       {"LogOn", "IsProjectAdmin", "IsUserRestricted", "IsDatabaseCanBeConnected", "GetAuthors",
        "GetForecastEUR", "GetForecastReserve", "GetForecastLife", "GetForecastEURList",
        "GetForecastReserveList", "GetForecastLifeList", "GetBoreholeIdsWithForecast",
        "GetForecastTemplatesByAuthor"},
       [](IServiceContract* s) { return dynamic_cast<IDataService*>(s) != nullptr; }},
      {IApplicationLauncher::kContractName,
       {"LogOn", "LaunchTrasko", "LaunchWendal", "LaunchOrbisk"},
       [](IServiceContract* s) { return dynamic_cast<IApplicationLauncher*>(s) != nullptr; }},
      {IShutdown::kContractName,
       {"Subscribe", "Unsubscribe", "Ping"},
       [](IServiceContract* s) { return dynamic_cast<IShutdown*>(s) != nullptr; }},
  };
  return contracts;
}

const ContractInfo* FindContract(std::string_view name) {
  for (const ContractInfo& info : KnownContracts()) {
    if (info.name == name) return &info;
  }
  return nullptr;
}

ContractDescription DescribeContract(std::string_view name,
                                     const std::vector<const char*>& operations) {
  ContractDescription contract{std::string(name)};
  for (const char* operation : operations) {
    OperationDescription description{operation};
    description.Behaviors().push_back(std::make_shared<DataContractSerializerOperationBehavior>());
    contract.Operations().push_back(std::move(description));
  }
  return contract;
}

// The most list items one message of each operation may carry, read from the
// description when the host opens.
using ItemLimits = std::map<std::string, std::int64_t, std::less<>>;

class ItemLimitExceeded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void CheckItems(std::size_t count, std::int64_t limit, std::string_view operation) {
  if (static_cast<std::int64_t>(count) > limit) {
    throw ItemLimitExceeded("the reply of operation " + std::string(operation) + " carries " +
                            std::to_string(count) + " list items, more than the " +
                            std::to_string(limit) +
                            " that the host's MaxItemsInObjectGraph allows");
  }
}

class DispatchContext final : public OperationContext {
 public:
  DispatchContext(std::shared_ptr<IServiceContract> callback, const std::string& site)
      : callback_(std::move(callback)), site_(site) {}

 protected:
  std::shared_ptr<IServiceContract> CallbackChannel(ContractType contract) override {
    if (!callback_) {
      throw CommunicationException(site_ +
                                   ": the operation has no client session, so no callback "
                                   "channel of contract " +
                                   std::string(contract.fullName));
    }
    if (contract != TypeOf<IShutdownCallback>()) {
      throw CommunicationException(site_ + ": the session's callback contract is " +
                                   std::string(IShutdownCallback::kContractName) + ", not " +
                                   std::string(contract.fullName));
    }
    return callback_;
  }

 private:
  std::shared_ptr<IServiceContract> callback_;
  const std::string& site_;
};

class ScopedOperationContext {
 public:
  explicit ScopedOperationContext(OperationContext* context) : previous_(tCurrentContext) {
    tCurrentContext = context;
  }
  ~ScopedOperationContext() { tCurrentContext = previous_; }
  ScopedOperationContext(const ScopedOperationContext&) = delete;
  ScopedOperationContext& operator=(const ScopedOperationContext&) = delete;

 private:
  OperationContext* previous_;
};

// ---------------------------------------------------------------------------
// Server side of a duplex session.

class SessionReactor;

// The state of one client session, shared by its reactor and by the callback
// channel handed to the service. Once the session ends it shrinks to a light
// handle: the reactor, stream and queued messages are gone and Connected()
// is false.
//
// The reactor may be touched only while finishCalled_ is false (gRPC calls
// OnDone, which deletes it, only after Finish); Finish itself is called with
// no lock held because gRPC may run OnDone inline.
class ServerSession {
 public:
  explicit ServerSession(std::string site) : site_(std::move(site)) {}

  void Attach(SessionReactor* reactor) {
    std::lock_guard lock(mu_);
    reactor_ = reactor;
  }

  bool Connected() const noexcept {
    std::lock_guard lock(mu_);
    return connected_;
  }

  const std::string& Site() const noexcept { return site_; }

  void StartReadIfOpen(v1::ClientMessage* into);
  bool Send(v1::ServerMessage message) {
    std::lock_guard lock(mu_);
    return SendLocked(std::move(message));
  }
  void OnWriteDone(bool ok);
  // Marks the session disconnected and finishes the stream once no write is
  // in flight.
  void End(const grpc::Status& status);
  // The reactor is gone.
  void Detach();

  void Complete(const v1::CallbackReply& reply);
  // Sends a callback and waits for its reply, bounded by the callback
  // time-out.
  v1::CallbackReply Callback(bool requestShutdown, const char* name);

 private:
  struct Pending {
    bool done = false;
    v1::CallbackReply reply;
  };

  bool SendLocked(v1::ServerMessage&& message);
  void MarkEndedLocked(const grpc::Status& status) {
    if (!finishRequested_) finishStatus_ = status;
    finishRequested_ = true;
    connected_ = false;
    cv_.notify_all();
  }
  // Claims the right to call Finish; returns the reactor to call it on.
  SessionReactor* ClaimFinishLocked() {
    if (!finishRequested_ || writing_ || finishCalled_ || reactor_ == nullptr) return nullptr;
    finishCalled_ = true;
    return reactor_;
  }

  const std::string site_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  SessionReactor* reactor_ = nullptr;
  bool connected_ = true;
  bool writing_ = false;
  bool finishRequested_ = false;
  bool finishCalled_ = false;
  grpc::Status finishStatus_;
  std::deque<v1::ServerMessage> outbox_;  // the front is being written while writing_
  std::uint64_t nextCallbackId_ = 1;
  std::unordered_map<std::uint64_t, Pending> pending_;
};

class ShutdownCallbackChannel final : public IShutdownCallback, public SessionChannel {
 public:
  explicit ShutdownCallbackChannel(std::shared_ptr<ServerSession> session)
      : session_(std::move(session)) {}

  bool RequestShutdown() override {
    return session_->Callback(/*requestShutdown=*/true, "RequestShutdown").accepted();
  }
  void ForceShutdown() override { session_->Callback(/*requestShutdown=*/false, "ForceShutdown"); }
  bool Connected() const noexcept override { return session_->Connected(); }

 private:
  std::shared_ptr<ServerSession> session_;
};

class HostCore;

class SessionReactor final : public grpc::ServerBidiReactor<v1::ClientMessage, v1::ServerMessage> {
 public:
  explicit SessionReactor(std::shared_ptr<HostCore> host);

  void OnReadDone(bool ok) override;
  void OnWriteDone(bool ok) override { session_->OnWriteDone(ok); }
  void OnCancel() override {
    session_->End(grpc::Status(grpc::StatusCode::CANCELLED, "the session was cancelled"));
  }
  void OnDone() override;

 private:
  std::shared_ptr<HostCore> host_;
  std::shared_ptr<ServerSession> session_;
  std::shared_ptr<ShutdownCallbackChannel> channel_;
  v1::ClientMessage in_;
};

void ServerSession::StartReadIfOpen(v1::ClientMessage* into) {
  std::lock_guard lock(mu_);
  if (!finishCalled_ && !finishRequested_ && reactor_ != nullptr) reactor_->StartRead(into);
}

bool ServerSession::SendLocked(v1::ServerMessage&& message) {
  if (finishRequested_ || reactor_ == nullptr) return false;
  outbox_.push_back(std::move(message));
  if (!writing_) {
    writing_ = true;
    reactor_->StartWrite(&outbox_.front());
  }
  return true;
}

void ServerSession::OnWriteDone(bool ok) {
  SessionReactor* finishOn = nullptr;
  grpc::Status status;
  {
    std::lock_guard lock(mu_);
    if (!outbox_.empty()) outbox_.pop_front();
    if (!ok) {
      MarkEndedLocked(grpc::Status(grpc::StatusCode::UNAVAILABLE, "the client stopped reading"));
    }
    if (!finishRequested_ && !outbox_.empty()) {
      reactor_->StartWrite(&outbox_.front());
      return;
    }
    writing_ = false;
    outbox_.clear();
    finishOn = ClaimFinishLocked();
    status = finishStatus_;
  }
  if (finishOn != nullptr) finishOn->Finish(status);
}

void ServerSession::End(const grpc::Status& status) {
  SessionReactor* finishOn = nullptr;
  grpc::Status finishStatus;
  {
    std::lock_guard lock(mu_);
    MarkEndedLocked(status);
    finishOn = ClaimFinishLocked();
    finishStatus = finishStatus_;
  }
  if (finishOn != nullptr) finishOn->Finish(finishStatus);
}

void ServerSession::Detach() {
  std::lock_guard lock(mu_);
  reactor_ = nullptr;
  connected_ = false;
  finishRequested_ = true;
  outbox_.clear();
  cv_.notify_all();
}

void ServerSession::Complete(const v1::CallbackReply& reply) {
  std::lock_guard lock(mu_);
  auto it = pending_.find(reply.id());
  // Its caller gave up waiting, or a peer repeated an id: the first reply
  // stands.
  if (it == pending_.end() || it->second.done) return;
  it->second.done = true;
  it->second.reply = reply;
  cv_.notify_all();
}

v1::CallbackReply ServerSession::Callback(bool requestShutdown, const char* name) {
  std::string where = site_ + ", callback " + name;
  std::unique_lock lock(mu_);
  if (!connected_) throw CommunicationException(where + ": the client's session has ended");
  std::uint64_t id = nextCallbackId_++;
  v1::ServerMessage message;
  v1::CallbackCall* call = message.mutable_callback();
  call->set_id(id);
  if (requestShutdown) {
    call->mutable_request_shutdown();
  } else {
    call->mutable_force_shutdown();
  }
  pending_.emplace(id, Pending{});
  if (!SendLocked(std::move(message))) {
    pending_.erase(id);
    throw CommunicationException(where + ": the client's session has ended");
  }
  std::chrono::milliseconds timeout = CurrentTimeouts().callback;
  cv_.wait_for(lock, timeout, [&] {
    auto it = pending_.find(id);
    return !connected_ || (it != pending_.end() && it->second.done);
  });
  auto it = pending_.find(id);
  bool answered = it != pending_.end() && it->second.done;
  v1::CallbackReply reply;
  if (answered) reply = std::move(it->second.reply);
  if (it != pending_.end()) pending_.erase(it);
  lock.unlock();
  if (answered) {
    if (reply.has_fault()) {
      throw FaultException(where + ": the client raised a fault: " + reply.fault().message(),
                           reply.fault().message());
    }
    return reply;
  }
  if (!Connected()) {
    throw CommunicationException(where + ": the client's session ended before it answered");
  }
  throw TimeoutException(where + ": the client did not answer within " +
                         std::to_string(timeout.count()) + " ms");
}

// ---------------------------------------------------------------------------
// The state of an open host shared with its sessions and service adapters.

class HostCore : public std::enable_shared_from_this<HostCore> {
 public:
  HostCore(std::shared_ptr<IServiceContract> instance, std::string site)
      : instance_(std::move(instance)), site_(std::move(site)) {}

  const std::string& Site() const noexcept { return site_; }
  IServiceContract* Instance() const noexcept { return instance_.get(); }

  // Runs one unary operation on the service object.
  template <class Fn>
  grpc::Status Unary(const ItemLimits& limits, std::string_view operation, Fn&& fn) {
    auto found = limits.find(operation);
    std::int64_t limit =
        found != limits.end()
            ? found->second
            : DataContractSerializerOperationBehavior::kDefaultMaxItemsInObjectGraph;
    try {
      std::lock_guard lock(dispatchMu_);
      DispatchContext context(nullptr, site_);
      ScopedOperationContext scope(&context);
      fn(limit);
      return grpc::Status::OK;
    } catch (const ItemLimitExceeded& e) {
      return grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED, e.what());
    } catch (...) {
      return FaultStatus();
    }
  }

  bool AddSession(const std::shared_ptr<ServerSession>& session) {
    std::lock_guard lock(sessionsMu_);
    if (closing_) return false;
    sessions_.insert(session);
    return true;
  }
  void RemoveSession(const std::shared_ptr<ServerSession>& session) {
    std::lock_guard lock(sessionsMu_);
    sessions_.erase(session);
  }

  // Queues a session call for the dispatcher thread.
  void Enqueue(std::shared_ptr<ServerSession> session,
               std::shared_ptr<IServiceContract> callbackChannel, v1::OperationCall call) {
    std::lock_guard lock(queueMu_);
    if (stopping_) return;
    queue_.push_back(Task{std::move(session), std::move(callbackChannel), std::move(call)});
    queueCv_.notify_one();
  }

  void StartDispatcher() {
    dispatcher_ = std::thread([this] { DispatchLoop(); });
  }

  // Ends every session and refuses new ones.
  void EndSessions() {
    std::vector<std::shared_ptr<ServerSession>> sessions;
    {
      std::lock_guard lock(sessionsMu_);
      closing_ = true;
      sessions.assign(sessions_.begin(), sessions_.end());
    }
    for (const auto& session : sessions) {
      session->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, "the host is closing"));
    }
  }

  void StopDispatcher() {
    {
      std::lock_guard lock(queueMu_);
      stopping_ = true;
      queue_.clear();
      queueCv_.notify_all();
    }
    if (dispatcher_.joinable()) dispatcher_.join();
  }

 private:
  struct Task {
    std::shared_ptr<ServerSession> session;
    std::shared_ptr<IServiceContract> callbackChannel;
    v1::OperationCall call;
  };

  // The status for a fault that the service object raised: UNKNOWN with the
  // fault's own text. Called inside a catch block.
  static grpc::Status FaultStatus() {
    try {
      throw;
    } catch (const FaultException& e) {
      return grpc::Status(grpc::StatusCode::UNKNOWN, e.Reason());
    } catch (const std::exception& e) {
      return grpc::Status(grpc::StatusCode::UNKNOWN, e.what());
    } catch (...) {
      return grpc::Status(grpc::StatusCode::UNKNOWN,
                          "the service raised an exception that is not a std::exception");
    }
  }

  void DispatchLoop() {
    for (;;) {
      Task task;
      {
        std::unique_lock lock(queueMu_);
        queueCv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      v1::ServerMessage message;
      v1::OperationReply* reply = message.mutable_reply();
      reply->set_id(task.call.id());
      grpc::Status status = RunSessionCall(task);
      if (!status.ok()) reply->mutable_fault()->set_message(status.error_message());
      task.session->Send(std::move(message));
    }
  }

  grpc::Status RunSessionCall(const Task& task) {
    try {
      std::lock_guard lock(dispatchMu_);
      auto* service = dynamic_cast<IShutdown*>(instance_.get());
      if (service == nullptr) throw std::logic_error("the service object does not serve IShutdown");
      DispatchContext context(task.callbackChannel, task.session->Site());
      ScopedOperationContext scope(&context);
      switch (task.call.operation_case()) {
        case v1::OperationCall::kSubscribe:
          service->Subscribe(task.call.subscribe().key());
          break;
        case v1::OperationCall::kUnsubscribe:
          service->Unsubscribe(task.call.unsubscribe().key());
          break;
        case v1::OperationCall::kPing:
          service->Ping();
          break;
        default:
          throw std::invalid_argument("the call names no operation of IShutdown");
      }
      return grpc::Status::OK;
    } catch (...) {
      return FaultStatus();
    }
  }

  std::shared_ptr<IServiceContract> instance_;
  const std::string site_;
  std::mutex dispatchMu_;

  std::mutex sessionsMu_;
  bool closing_ = false;
  std::set<std::shared_ptr<ServerSession>> sessions_;

  std::mutex queueMu_;
  std::condition_variable queueCv_;
  bool stopping_ = false;
  std::deque<Task> queue_;
  std::thread dispatcher_;
};

SessionReactor::SessionReactor(std::shared_ptr<HostCore> host)
    : host_(std::move(host)),
      session_(std::make_shared<ServerSession>(host_->Site())),
      channel_(std::make_shared<ShutdownCallbackChannel>(session_)) {
  session_->Attach(this);
  // Until this constructor returns, gRPC defers Finish, so OnDone cannot run
  // inside it.
  if (!host_->AddSession(session_)) {
    session_->End(grpc::Status(grpc::StatusCode::UNAVAILABLE, "the host is closing"));
    return;
  }
  session_->StartReadIfOpen(&in_);
}

void SessionReactor::OnReadDone(bool ok) {
  if (!ok) {
    session_->End(grpc::Status::OK);
    return;  // `this` may be gone
  }
  switch (in_.kind_case()) {
    case v1::ClientMessage::kCall:
      host_->Enqueue(session_, channel_, std::move(*in_.mutable_call()));
      break;
    case v1::ClientMessage::kCallbackReply:
      session_->Complete(in_.callback_reply());
      break;
    default:
      session_->End(grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                                 "a client message carried neither a call nor a callback reply"));
      return;
  }
  in_.Clear();
  session_->StartReadIfOpen(&in_);
}

void SessionReactor::OnDone() {
  session_->Detach();
  host_->RemoveSession(session_);
  delete this;
}

// ---------------------------------------------------------------------------
// Service adapters: wire messages in, contract calls on the service object,
// wire messages out.

#define NORV_ARG(field) StringFromWire(request->has_##field(), request->field())

class DataServiceAdapter final : public v1::DataService::Service {
 public:
  DataServiceAdapter(HostCore& core, ItemLimits limits)
      : core_(core),
        service_(dynamic_cast<IDataService*>(core.Instance())),
        limits_(std::move(limits)) {}

  grpc::Status LogOn(grpc::ServerContext*, const v1::LogOnRequest* request, v1::Empty*) override {
    return core_.Unary(limits_, "LogOn", [&](std::int64_t) {
      service_->LogOn(NORV_ARG(project_path), NORV_ARG(user), NORV_ARG(password), NORV_ARG(author));
    });
  }
  grpc::Status IsProjectAdmin(grpc::ServerContext*, const v1::CredentialsRequest* request,
                              v1::BoolReply* reply) override {
    return core_.Unary(limits_, "IsProjectAdmin", [&](std::int64_t) {
      reply->set_value(service_->IsProjectAdmin(NORV_ARG(project_path), NORV_ARG(user_name),
                                                NORV_ARG(password)));
    });
  }
  grpc::Status IsUserRestricted(grpc::ServerContext*, const v1::CredentialsRequest* request,
                                v1::BoolReply* reply) override {
    return core_.Unary(limits_, "IsUserRestricted", [&](std::int64_t) {
      reply->set_value(service_->IsUserRestricted(NORV_ARG(project_path), NORV_ARG(user_name),
                                                  NORV_ARG(password)));
    });
  }
  grpc::Status IsDatabaseCanBeConnected(grpc::ServerContext*, const v1::CredentialsRequest* request,
                                        v1::BoolReply* reply) override {
    return core_.Unary(limits_, "IsDatabaseCanBeConnected", [&](std::int64_t) {
      reply->set_value(service_->IsDatabaseCanBeConnected(NORV_ARG(project_path),
                                                          NORV_ARG(user_name), NORV_ARG(password)));
    });
  }
  grpc::Status GetAuthors(grpc::ServerContext*, const v1::CredentialsRequest* request,
                          v1::StringListReply* reply) override {
    return core_.Unary(limits_, "GetAuthors", [&](std::int64_t limit) {
      auto authors =
          service_->GetAuthors(NORV_ARG(project_path), NORV_ARG(user_name), NORV_ARG(password));
      if (!authors) return;
      CheckItems(authors->size(), limit, "GetAuthors");
      StringsToWire(*authors, reply->mutable_value());
    });
  }
  grpc::Status GetForecastEUR(grpc::ServerContext*, const v1::ForecastRequest* request,
                              v1::DoubleReply* reply) override {
    return core_.Unary(limits_, "GetForecastEUR", [&](std::int64_t) {
      reply->set_value(service_->GetForecastEUR(NORV_ARG(project_path), NORV_ARG(user_name),
                                                NORV_ARG(password), request->borehole_id(),
                                                NORV_ARG(template_name), NORV_ARG(author)));
    });
  }
  grpc::Status GetForecastReserve(grpc::ServerContext*, const v1::ForecastRequest* request,
                                  v1::DoubleReply* reply) override {
    return core_.Unary(limits_, "GetForecastReserve", [&](std::int64_t) {
      reply->set_value(service_->GetForecastReserve(NORV_ARG(project_path), NORV_ARG(user_name),
                                                    NORV_ARG(password), request->borehole_id(),
                                                    NORV_ARG(template_name), NORV_ARG(author)));
    });
  }
  grpc::Status GetForecastLife(grpc::ServerContext*, const v1::ForecastRequest* request,
                               v1::DateTimeReply* reply) override {
    return core_.Unary(limits_, "GetForecastLife", [&](std::int64_t) {
      DateTimeToWire(service_->GetForecastLife(NORV_ARG(project_path), NORV_ARG(user_name),
                                               NORV_ARG(password), request->borehole_id(),
                                               NORV_ARG(template_name), NORV_ARG(author)),
                     reply->mutable_value());
    });
  }
  grpc::Status GetForecastEURList(grpc::ServerContext*, const v1::ForecastListRequest* request,
                                  v1::DoubleResultSetListReply* reply) override {
    return core_.Unary(limits_, "GetForecastEURList", [&](std::int64_t limit) {
      auto list = service_->GetForecastEURList(NORV_ARG(project_path), NORV_ARG(user_name),
                                               NORV_ARG(password), NORV_ARG(forecast_name),
                                               NORV_ARG(author));
      if (!list) return;
      CheckItems(list->size(), limit, "GetForecastEURList");
      DoubleResultsToWire(*list, reply->mutable_value());
    });
  }
  grpc::Status GetForecastReserveList(grpc::ServerContext*, const v1::ForecastListRequest* request,
                                      v1::DoubleResultSetListReply* reply) override {
    return core_.Unary(limits_, "GetForecastReserveList", [&](std::int64_t limit) {
      auto list = service_->GetForecastReserveList(NORV_ARG(project_path), NORV_ARG(user_name),
                                                   NORV_ARG(password), NORV_ARG(forecast_name),
                                                   NORV_ARG(author));
      if (!list) return;
      CheckItems(list->size(), limit, "GetForecastReserveList");
      DoubleResultsToWire(*list, reply->mutable_value());
    });
  }
  grpc::Status GetForecastLifeList(grpc::ServerContext*, const v1::ForecastListRequest* request,
                                   v1::DateTimeResultSetListReply* reply) override {
    return core_.Unary(limits_, "GetForecastLifeList", [&](std::int64_t limit) {
      auto list = service_->GetForecastLifeList(NORV_ARG(project_path), NORV_ARG(user_name),
                                                NORV_ARG(password), NORV_ARG(forecast_name),
                                                NORV_ARG(author));
      if (!list) return;
      CheckItems(list->size(), limit, "GetForecastLifeList");
      DateTimeResultsToWire(*list, reply->mutable_value());
    });
  }
  grpc::Status GetBoreholeIdsWithForecast(grpc::ServerContext*, const v1::TemplateRequest* request,
                                          v1::Int32ListReply* reply) override {
    return core_.Unary(limits_, "GetBoreholeIdsWithForecast", [&](std::int64_t limit) {
      auto ids = service_->GetBoreholeIdsWithForecast(NORV_ARG(project_path), NORV_ARG(user_name),
                                                      NORV_ARG(password), NORV_ARG(template_name),
                                                      NORV_ARG(author));
      if (!ids) return;
      CheckItems(ids->size(), limit, "GetBoreholeIdsWithForecast");
      Int32sToWire(*ids, reply->mutable_value());
    });
  }
  grpc::Status GetForecastTemplatesByAuthor(grpc::ServerContext*, const v1::AuthorRequest* request,
                                            v1::StringResultSetListReply* reply) override {
    return core_.Unary(limits_, "GetForecastTemplatesByAuthor", [&](std::int64_t limit) {
      auto list = service_->GetForecastTemplatesByAuthor(
          NORV_ARG(project_path), NORV_ARG(user_name), NORV_ARG(password), NORV_ARG(author));
      if (!list) return;
      CheckItems(list->size(), limit, "GetForecastTemplatesByAuthor");
      StringResultsToWire(*list, reply->mutable_value());
    });
  }

 private:
  HostCore& core_;
  IDataService* service_;
  ItemLimits limits_;
};

class ApplicationLauncherAdapter final : public v1::ApplicationLauncher::Service {
 public:
  ApplicationLauncherAdapter(HostCore& core, ItemLimits limits)
      : core_(core),
        service_(dynamic_cast<IApplicationLauncher*>(core.Instance())),
        limits_(std::move(limits)) {}

  grpc::Status LogOn(grpc::ServerContext*, const v1::LogOnRequest* request, v1::Empty*) override {
    return core_.Unary(limits_, "LogOn", [&](std::int64_t) {
      service_->LogOn(NORV_ARG(project_path), NORV_ARG(user), NORV_ARG(password), NORV_ARG(author));
    });
  }
  grpc::Status LaunchTrasko(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return core_.Unary(limits_, "LaunchTrasko", [&](std::int64_t) { service_->LaunchTrasko(); });
  }
  grpc::Status LaunchWendal(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return core_.Unary(limits_, "LaunchWendal", [&](std::int64_t) { service_->LaunchWendal(); });
  }
  grpc::Status LaunchOrbisk(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return core_.Unary(limits_, "LaunchOrbisk", [&](std::int64_t) { service_->LaunchOrbisk(); });
  }

 private:
  HostCore& core_;
  IApplicationLauncher* service_;
  ItemLimits limits_;
};

#undef NORV_ARG

class ShutdownAdapter final : public v1::Shutdown::CallbackService {
 public:
  explicit ShutdownAdapter(std::shared_ptr<HostCore> core) : core_(std::move(core)) {}

  grpc::ServerBidiReactor<v1::ClientMessage, v1::ServerMessage>* Session(
      grpc::CallbackServerContext*) override {
    return new SessionReactor(core_);
  }

 private:
  std::shared_ptr<HostCore> core_;
};

// Gives one builder the reflection service or keeps it off, whatever plugins
// gRPC registered for every server of the process.
class ReflectionOption final : public grpc::ServerBuilderOption {
 public:
  explicit ReflectionOption(bool enabled) : enabled_(enabled) {}
  void UpdateArguments(grpc::ChannelArguments*) override {}
  void UpdatePlugins(std::vector<std::unique_ptr<grpc::ServerBuilderPlugin>>* plugins) override {
    static const std::string kName = grpc::reflection::ProtoServerReflectionPlugin().name();
    plugins->erase(std::remove_if(plugins->begin(), plugins->end(),
                                  [](const auto& plugin) { return plugin->name() == kName; }),
                   plugins->end());
    if (enabled_)
      plugins->push_back(std::make_unique<grpc::reflection::ProtoServerReflectionPlugin>());
  }

 private:
  bool enabled_;
};

constexpr int kLockGraceMs = 20;

// The lock file that guards an endpoint while its host is open.
class EndpointLock {
 public:
  EndpointLock() = default;
  ~EndpointLock() { Release(); }
  EndpointLock(const EndpointLock&) = delete;
  EndpointLock& operator=(const EndpointLock&) = delete;

  void Acquire(const std::string& path, const std::string& site) {
    // The inode check catches a file that its previous owner unlinked while
    // we were locking it.
    for (int attempt = 0; attempt < 16; ++attempt) {
      int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0) {
        int error = errno;
        throw AddressAccessDeniedException(site + ": cannot open the lock file " + path + ": " +
                                           std::strerror(error));
      }
      // A pruner (norvctl endpoints --prune) holds the lock of an endpoint it
      // found stale for a few microseconds: only a lock still held after a
      // short grace belongs to another host.
      int locked = ::flock(fd, LOCK_EX | LOCK_NB);
      for (int waited = 0; locked != 0 && errno == EWOULDBLOCK && waited < kLockGraceMs; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
      }
      if (locked != 0) {
        int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
          throw AddressAlreadyInUseException(site +
                                             ": another live host already serves this endpoint "
                                             "(it holds the lock file " +
                                             path + ")");
        }
        throw AddressAccessDeniedException(site + ": cannot lock " + path + ": " +
                                           std::strerror(error));
      }
      struct stat held {};
      struct stat named {};
      if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        fd_ = fd;
        path_ = path;
        return;
      }
      ::close(fd);
    }
    throw AddressAlreadyInUseException(site + ": the lock file " + path +
                                       " keeps being replaced by another host");
  }

  void Release() noexcept {
    if (fd_ < 0) return;
    // Unlink while still holding the lock: a host that opened the old file
    // meanwhile sees the inode mismatch and retries.
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace

Timeouts CurrentTimeouts() noexcept {
  Timeouts timeouts;
  timeouts.connect = std::chrono::milliseconds(gConnectMs.load(std::memory_order_relaxed));
  timeouts.call = std::chrono::milliseconds(gCallMs.load(std::memory_order_relaxed));
  timeouts.callback = std::chrono::milliseconds(gCallbackMs.load(std::memory_order_relaxed));
  return timeouts;
}

}  // namespace internal

// ---------------------------------------------------------------------------

class NamedPipeServiceHost::Impl {
 public:
  Impl(std::shared_ptr<IServiceContract> instance, std::int32_t pid, std::string name)
      : instance_(std::move(instance)),
        pid_(pid),
        name_(std::move(name)),
        site_(internal::Site(pid_, name_)),
        dir_(internal::EndpointDirectory()),
        socketPath_(internal::SocketPath(dir_, pid_, name_)),
        lockPath_(internal::LockPath(dir_, pid_, name_)) {}

  ServiceEndpoint& AddEndpoint(std::string_view contractName,
                               const std::vector<const char*>& operations) {
    for (const auto& endpoint : description_.Endpoints()) {
      if (endpoint->Contract().Name() == contractName) {
        throw std::invalid_argument(site_ + ": the host already has an endpoint of contract " +
                                    std::string(contractName));
      }
    }
    description_.Endpoints().push_back(std::make_unique<ServiceEndpoint>(
        socketPath_, internal::DescribeContract(contractName, operations)));
    return *description_.Endpoints().back();
  }

  void Open();
  void Close();

  std::shared_ptr<IServiceContract> instance_;
  const std::int32_t pid_;
  const std::string name_;
  const std::string site_;
  const std::string dir_;
  const std::string socketPath_;
  const std::string lockPath_;
  ServiceDescription description_;

  // While open:
  std::shared_ptr<internal::HostCore> core_;
  std::unique_ptr<internal::DataServiceAdapter> dataService_;
  std::unique_ptr<internal::ApplicationLauncherAdapter> launcher_;
  std::unique_ptr<internal::ShutdownAdapter> shutdown_;
  std::unique_ptr<grpc::Server> server_;
  internal::EndpointLock lock_;
};

void NamedPipeServiceHost::Impl::Open() {
  using namespace internal;
  if (StepFails(testing::HostStep::kOpen)) {
    throw CommunicationException(site_ + ": opening the host failed (injected by a test)");
  }
  if (core_) throw std::logic_error(site_ + ": the host is already open");
  if (description_.Endpoints().empty()) {
    throw std::logic_error(site_ + ": the host has no endpoint to open");
  }

  // Item limits and contracts, as the description stands now.
  std::map<std::string, ItemLimits, std::less<>> limits;
  bool mex = false;
  for (const auto& endpoint : description_.Endpoints()) {
    const ContractDescription& contract = endpoint->Contract();
    if (contract.Name() == kMexContract) {
      mex = true;
      continue;
    }
    if (FindContract(contract.Name()) == nullptr) {
      throw std::invalid_argument(site_ + ": no wire contract is known for " + contract.Name());
    }
    ItemLimits& perOperation = limits[contract.Name()];
    for (const OperationDescription& operation : contract.Operations()) {
      std::int64_t limit = DataContractSerializerOperationBehavior::kDefaultMaxItemsInObjectGraph;
      for (const auto& behavior : operation.Behaviors()) {
        if (auto* serializer =
                dynamic_cast<const DataContractSerializerOperationBehavior*>(behavior.get())) {
          limit = serializer->MaxItemsInObjectGraph();
          break;
        }
      }
      if (limit < 0) {
        throw std::invalid_argument(site_ + ": operation " + operation.Name() +
                                    " has a negative MaxItemsInObjectGraph (" +
                                    std::to_string(limit) + ")");
      }
      perOperation[operation.Name()] = limit;
    }
  }

  EnsureGrpc();
  CheckEndpointDirectory(dir_, /*create=*/true, site_);
  CheckSocketPathLength(socketPath_, site_);
  lock_.Acquire(lockPath_, site_);
  try {
    // Holding the lock, a socket file left there belongs to a dead host, unless
    // something that ignores the lock listens on it: never steal from that.
    if (ProbeSocket(socketPath_) == ProbeResult::kListening) {
      throw AddressAlreadyInUseException(site_ +
                                         ": a server that does not hold the lock file "
                                         "already listens on " +
                                         socketPath_);
    }
    ::unlink(socketPath_.c_str());

    auto core = std::make_shared<HostCore>(instance_, site_);
    // Every host serves grpc.health.v1.Health, so that any gRPC tool (and
    // norvctl endpoints) can ask whether it answers. The switch is
    // process-wide and read when a server is built.
    grpc::EnableDefaultHealthCheckService(true);
    grpc::ServerBuilder builder;
    builder.AddListeningPort(GrpcTarget(socketPath_), grpc::InsecureServerCredentials());
    builder.SetMaxReceiveMessageSize(-1);
    builder.SetMaxSendMessageSize(-1);
    builder.AddChannelArgument(GRPC_ARG_ENABLE_CHANNELZ, 0);
    builder.SetOption(std::make_unique<ReflectionOption>(mex));
    if (auto it = limits.find(IDataService::kContractName); it != limits.end()) {
      dataService_ = std::make_unique<DataServiceAdapter>(*core, it->second);
      builder.RegisterService(dataService_.get());
    }
    if (auto it = limits.find(IApplicationLauncher::kContractName); it != limits.end()) {
      launcher_ = std::make_unique<ApplicationLauncherAdapter>(*core, it->second);
      builder.RegisterService(launcher_.get());
    }
    bool duplex = limits.count(IShutdown::kContractName) != 0;
    if (duplex) {
      shutdown_ = std::make_unique<ShutdownAdapter>(core);
      builder.RegisterService(shutdown_.get());
    }
    server_ = builder.BuildAndStart();
    if (!server_) {
      throw AddressAccessDeniedException(site_ + ": cannot listen on " + socketPath_);
    }
    ::chmod(socketPath_.c_str(), 0600);
    if (duplex) core->StartDispatcher();
    core_ = std::move(core);
  } catch (...) {
    server_.reset();
    dataService_.reset();
    launcher_.reset();
    shutdown_.reset();
    lock_.Release();
    throw;
  }
}

void NamedPipeServiceHost::Impl::Close() {
  using namespace internal;
  std::string failure;
  if (core_) {
    core_->EndSessions();
    // Calls in progress get a short grace; sessions have been ended already.
    server_->Shutdown(DeadlineAfter(std::chrono::seconds(2)));
    server_->Wait();
    core_->StopDispatcher();
    server_.reset();
    dataService_.reset();
    launcher_.reset();
    shutdown_.reset();
    if (::unlink(socketPath_.c_str()) != 0 && errno != ENOENT) {
      failure = site_ + ": cannot remove the socket " + socketPath_ + ": " + std::strerror(errno);
    }
    lock_.Release();
    core_.reset();
  }
  if (StepFails(testing::HostStep::kClose)) {
    throw CommunicationException(site_ + ": closing the host failed (injected by a test)");
  }
  if (!failure.empty()) throw CommunicationException(failure);
}

NamedPipeServiceHost::NamedPipeServiceHost(std::shared_ptr<IServiceContract> instance,
                                           std::int32_t pid, std::string name) {
  if (internal::StepFails(testing::HostStep::kConstruct)) {
    throw CommunicationException(internal::Site(pid, name) +
                                 ": creating the host failed (injected by a test)");
  }
  if (!instance) {
    throw std::invalid_argument(internal::Site(pid, name) + ": the service object is null");
  }
  internal::EncodeEndpointName(name);  // rejects the empty name
  impl_ = std::make_unique<Impl>(std::move(instance), pid, std::move(name));
}

NamedPipeServiceHost::~NamedPipeServiceHost() {
  try {
    impl_->Close();
  } catch (...) {  // a destructor reports nothing
  }
}

ServiceEndpoint& NamedPipeServiceHost::AddServiceEndpoint(ContractType contractType) {
  if (internal::StepFails(testing::HostStep::kAddEndpoint)) {
    throw CommunicationException(impl_->site_ + ": adding an endpoint failed (injected by a test)");
  }
  if (impl_->core_) throw std::logic_error(impl_->site_ + ": the host is already open");
  const internal::ContractInfo* info = internal::FindContract(contractType.fullName);
  if (info == nullptr) {
    throw std::invalid_argument(impl_->site_ + ": no wire contract is known for " +
                                std::string(contractType.fullName));
  }
  if (!info->implementedBy(impl_->instance_.get())) {
    throw std::invalid_argument(impl_->site_ + ": the service object does not implement " +
                                std::string(contractType.fullName));
  }
  return impl_->AddEndpoint(info->name, info->operations);
}

ServiceEndpoint& NamedPipeServiceHost::AddMexServiceEndpoint() {
  if (internal::StepFails(testing::HostStep::kAddEndpoint)) {
    throw CommunicationException(impl_->site_ + ": adding an endpoint failed (injected by a test)");
  }
  if (impl_->core_) throw std::logic_error(impl_->site_ + ": the host is already open");
  return impl_->AddEndpoint(internal::kMexContract, {internal::kMexOperation});
}

ServiceDescription& NamedPipeServiceHost::Description() noexcept { return impl_->description_; }

void NamedPipeServiceHost::Open() { impl_->Open(); }
void NamedPipeServiceHost::Close() { impl_->Close(); }

std::int32_t NamedPipeServiceHost::Pid() const noexcept { return impl_->pid_; }
const std::string& NamedPipeServiceHost::Name() const noexcept { return impl_->name_; }

bool NamedPipeServiceHost::IsConnected(const std::shared_ptr<IServiceContract>& channel) noexcept {
  auto* session = dynamic_cast<const internal::SessionChannel*>(channel.get());
  return session != nullptr && session->Connected();
}

Timeouts NamedPipeServiceHost::GetTimeouts() noexcept { return internal::CurrentTimeouts(); }

void NamedPipeServiceHost::SetTimeouts(const Timeouts& timeouts) noexcept {
  auto positive = [](std::chrono::milliseconds span) -> std::int64_t {
    return std::max<std::int64_t>(1, span.count());
  };
  internal::gConnectMs.store(positive(timeouts.connect), std::memory_order_relaxed);
  internal::gCallMs.store(positive(timeouts.call), std::memory_order_relaxed);
  internal::gCallbackMs.store(positive(timeouts.callback), std::memory_order_relaxed);
}

OperationContext::~OperationContext() = default;

OperationContext* OperationContext::Current() noexcept { return internal::tCurrentContext; }

namespace testing {

void SetHostStepFails(HostStep step, bool fails) noexcept {
  internal::gStepFails[static_cast<int>(step)].store(fails, std::memory_order_relaxed);
}

}  // namespace testing

}  // namespace Norv::ServiceModel
