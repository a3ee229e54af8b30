// NamedPipeServiceHost: hosts a service object on a Unix socket with gRPC.
//
// Each contract's binding (ContractBinding.h) makes the gRPC service that
// serves it. Unary contracts run on gRPC's synchronous server threads; the
// duplex contract runs on the callback API: one ServerBidiReactor per client session
// (ServerSession.h), so that dozens of idle subscribers cost no thread each. Session calls are
// handed to one dispatcher thread per host (HostCore.h); the reactor goes on
// reading its stream while an operation or a callback waits, so a client
// that calls in while answering a callback stalls nothing. Every operation
// reaches the service object under the host's dispatch mutex: one contract
// operation at a time.
//
// Process exit closes no host: an open host listens until the process ends,
// and only its files are removed then (HostFiles.h). In a child forked from
// the process that opened it, a host is the parent's: closing or destroying
// it there lets go of it without touching its server, connections or files.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <grpcpp/ext/health_check_service_server_builder_option.h>
#include <grpcpp/ext/proto_server_reflection_plugin.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>
#include <grpcpp/impl/server_builder_option.h>
#include <grpcpp/impl/server_builder_plugin.h>
#include <grpcpp/support/server_interceptor.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>

#include "base/Mutex.h"
#include "base/NoDestructor.h"
#include "base/SwallowFailures.h"
#include "platform/pipes/Acceptor.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/ContractBinding.h"
#include "platform/pipes/EndpointLock.h"
#include "platform/pipes/HealthService.h"
#include "platform/pipes/HostCore.h"
#include "platform/pipes/HostFiles.h"
#include "platform/pipes/HostTesting.h"
#include "platform/pipes/IntrospectionService.h"
#include "platform/pipes/Monitor.h"
#include "platform/pipes/Runtime.h"
#include "platform/pipes/WireValues.h"
#include "services/NamedPipeServiceHost.h"
#include "services/ShutdownRegistry.h"

namespace Norv::ServiceModel {

namespace v1 = norv::contracts::v1;

namespace internal {

namespace {

std::atomic<std::int64_t> gConnectMs{Timeouts{}.connect.count()};
std::atomic<std::int64_t> gCallMs{Timeouts{}.call.count()};
std::atomic<std::int64_t> gCallbackMs{Timeouts{}.callback.count()};
std::atomic<bool> gStepFails[4];

bool StepFails(testing::HostStep step) {
  return gStepFails[static_cast<int>(step)].load(std::memory_order_relaxed);
}

constexpr std::string_view kMexContract = "IMetadataExchange";
constexpr const char* kMexOperation = "ServerReflectionInfo";

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

// Gives one builder the reflection service or keeps it off, whatever plugins
// gRPC registered for every server of the process.
class ReflectionOption final : public grpc::ServerBuilderOption {
 public:
  explicit ReflectionOption(bool enabled) : enabled_(enabled) {}
  void UpdateArguments(grpc::ChannelArguments*) override {}
  void UpdatePlugins(std::vector<std::unique_ptr<grpc::ServerBuilderPlugin>>* plugins) override {
    static const Base::NoDestructor<std::string> kName(
        grpc::reflection::ProtoServerReflectionPlugin().name());
    plugins->erase(std::remove_if(plugins->begin(), plugins->end(),
                                  [](const auto& plugin) { return plugin->name() == *kName; }),
                   plugins->end());
    if (enabled_)
      plugins->push_back(std::make_unique<grpc::reflection::ProtoServerReflectionPlugin>());
  }

 private:
  bool enabled_;
};

// How long calls in progress may go on once a host closes.
constexpr std::chrono::seconds kCloseGrace{2};

// Counts the unary calls a server has taken up and not yet finished (their
// status sent), whatever service they belong to: the one way to tell calls in
// progress from connections that are merely open. A server interceptor lives
// exactly as long as its call. Streams get none: an interceptor costs every
// message of a stream (about 25 us a callback round trip), the host tracks
// its sessions itself, and a health watch or reflection stream has nothing
// to finish.
class CallCounter final : public grpc::experimental::Interceptor {
 public:
  CallCounter(std::shared_ptr<std::atomic<int>> calls, const grpc::ServerContextBase* context)
      : calls_(std::move(calls)), context_(context) {
    calls_->fetch_add(1, std::memory_order_relaxed);
    // A synchronous server creates a call's interceptors on the thread that
    // then runs its handler: the handler's operation context finds the
    // call's peer through this, and pays nothing unless it asks.
    tUnaryServerContext = context_;
  }
  ~CallCounter() override {
    if (tUnaryServerContext == context_) tUnaryServerContext = nullptr;
    calls_->fetch_sub(1, std::memory_order_release);
  }
  CallCounter(const CallCounter&) = delete;
  CallCounter& operator=(const CallCounter&) = delete;

  void Intercept(grpc::experimental::InterceptorBatchMethods* methods) override {
    methods->Proceed();
  }

 private:
  std::shared_ptr<std::atomic<int>> calls_;
  const grpc::ServerContextBase* context_;
};

class CallCounterFactory final : public grpc::experimental::ServerInterceptorFactoryInterface {
 public:
  explicit CallCounterFactory(std::shared_ptr<std::atomic<int>> calls) : calls_(std::move(calls)) {}
  grpc::experimental::Interceptor* CreateServerInterceptor(
      grpc::experimental::ServerRpcInfo* info) override {
    if (info->type() != grpc::experimental::ServerRpcInfo::Type::UNARY) return nullptr;
    return new CallCounter(calls_, info->server_context());
  }

 private:
  std::shared_ptr<std::atomic<int>> calls_;
};

// gRPC reads the process-wide switch of its own health service when a server
// starts. Starts `builder`'s server with it on and puts back what the
// application had, so that the application's own servers keep their setting;
// hosts starting at once take turns. Only hosts that use gRPC's health
// service start this way: a builder given a service of its own ignores the
// switch.
std::unique_ptr<grpc::Server> StartWithDefaultHealthService(grpc::ServerBuilder& builder) {
  static Base::Mutex mu;
  Base::MutexLock lock(&mu);
  struct Restore {
    bool previous;
    ~Restore() { grpc::EnableDefaultHealthCheckService(previous); }
  } restore{grpc::DefaultHealthCheckServiceEnabled()};
  grpc::EnableDefaultHealthCheckService(true);
  return builder.BuildAndStart();
}

// While a server shuts down, closes its connections from this side as soon as
// no call is in progress (`busy` answers false). gRPC's graceful shutdown otherwise also waits for
// every client to close its connection, and a client process that is not in
// a call notices the server going only at its next call, so each idle client
// would cost the whole grace. Closing the connections is what the shutdown
// itself does once the grace is over (grpc_server_cancel_all_calls), and like
// it this happens once and only after the shutdown has begun, which shows as
// the listener refusing connections. Polls: gRPC tells nobody when a call or
// the listener ends.
class IdleConnectionCloser {
 public:
  IdleConnectionCloser(grpc::Server& server, std::function<bool()> busy,
                       const std::string& socketPath)
      : thread_([this, &server, busy = std::move(busy), &socketPath] {
          Run(server, busy, socketPath);
        }) {}
  ~IdleConnectionCloser() {
    {
      Base::MutexLock lock(&mu_);
      done_ = true;
    }
    changed_.SignalAll();
    thread_.join();
  }
  IdleConnectionCloser(const IdleConnectionCloser&) = delete;
  IdleConnectionCloser& operator=(const IdleConnectionCloser&) = delete;

 private:
  void Run(grpc::Server& server, const std::function<bool()>& busy, const std::string& socketPath) {
    Base::MutexLock lock(&mu_);
    while (!changed_.WaitFor(&mu_, std::chrono::milliseconds(5),
                             [this]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) { return done_; })) {
      if (!busy() && ProbeSocket(socketPath) != ProbeResult::kListening) {
        lock.Unlock();
        grpc_server_cancel_all_calls(server.c_server());
        return;
      }
    }
  }

  Base::Mutex mu_;
  Base::CondVar changed_;
  bool done_ ABSL_GUARDED_BY(mu_) = false;
  std::thread thread_;
};

// The open hosts of this process by socket path, for the host application's
// reads of its own services (ReadShutdownRegistry). Never destroyed: a host
// may close at exit.
Base::Mutex& OpenHostsMu() {
  static Base::NoDestructor<Base::Mutex> mu;
  return *mu;
}
std::map<std::string, std::weak_ptr<HostCore>>& OpenHosts()
    ABSL_EXCLUSIVE_LOCKS_REQUIRED(OpenHostsMu()) {
  static Base::NoDestructor<std::map<std::string, std::weak_ptr<HostCore>>> hosts;
  return *hosts;
}

}  // namespace

thread_local constinit const grpc::ServerContextBase* tUnaryServerContext = nullptr;

std::shared_ptr<HostCore> FindOpenHost(const std::string& socketPath) {
  Base::MutexLock lock(&OpenHostsMu());
  auto it = OpenHosts().find(socketPath);
  return it == OpenHosts().end() ? nullptr : it->second.lock();
}

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

 private:
  // What Open reads from the description: the item limits of each served
  // contract, and whether a metadata endpoint asks for reflection.
  struct Plan {
    std::map<std::string, internal::ItemLimits, std::less<>> limits;
    bool mex = false;
  };

  void CheckCanOpen() const;
  Plan ReadDescription() const;
  internal::ItemLimits ReadItemLimits(const ContractDescription& contract) const;
  void ClaimSocketPath() const;
  void StartServer(const Plan& plan);
  void StopServer() noexcept;
  void LetGoOfInherited() noexcept;

 public:
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
  std::vector<std::unique_ptr<grpc::Service>> services_;
  std::unique_ptr<internal::HealthService> health_;  // null: gRPC's own serves
  std::unique_ptr<grpc::Server> server_;
  std::shared_ptr<internal::Acceptor> acceptor_;
  // Calls the server has taken up and not finished; shared with its
  // interceptors, which may outlive a failed start.
  std::shared_ptr<std::atomic<int>> calls_ = std::make_shared<std::atomic<int>>(0);
  internal::EndpointLock lock_;
  std::uint64_t filesTicket_ = 0;
};

void NamedPipeServiceHost::Impl::Open() {
  CheckCanOpen();
  Plan plan = ReadDescription();
  internal::RequireGrpcProcess(site_ + ", operation Open");
  internal::CheckEndpointDirectory(dir_, /*create=*/true, site_);
  internal::CheckSocketPathLength(socketPath_, site_);
  lock_.Acquire(lockPath_, site_);
  try {
    ClaimSocketPath();
    StartServer(plan);
    filesTicket_ = internal::RememberHostFiles(socketPath_, lockPath_);
  } catch (...) {
    StopServer();
    lock_.Release();
    throw;
  }
}

void NamedPipeServiceHost::Impl::CheckCanOpen() const {
  if (internal::StepFails(testing::HostStep::kOpen)) {
    throw CommunicationException(site_ + ": opening the host failed (injected by a test)");
  }
  if (core_) throw std::logic_error(site_ + ": the host is already open");
  if (description_.Endpoints().empty()) {
    throw std::logic_error(site_ + ": the host has no endpoint to open");
  }
}

// Item limits and contracts, as the description stands now.
NamedPipeServiceHost::Impl::Plan NamedPipeServiceHost::Impl::ReadDescription() const {
  Plan plan;
  for (const auto& endpoint : description_.Endpoints()) {
    const ContractDescription& contract = endpoint->Contract();
    if (contract.Name() == internal::kMexContract) {
      plan.mex = true;
      continue;
    }
    if (internal::FindContract(contract.Name()) == nullptr) {
      throw std::invalid_argument(site_ + ": no wire contract is known for " + contract.Name());
    }
    plan.limits[contract.Name()] = ReadItemLimits(contract);
  }
  return plan;
}

internal::ItemLimits NamedPipeServiceHost::Impl::ReadItemLimits(
    const ContractDescription& contract) const {
  internal::ItemLimits perOperation;
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
  return perOperation;
}

// Holding the lock, a socket file left there belongs to a dead host, unless
// something that ignores the lock listens on it: never steal from that.
void NamedPipeServiceHost::Impl::ClaimSocketPath() const {
  if (internal::ProbeSocket(socketPath_) == internal::ProbeResult::kListening) {
    throw AddressAlreadyInUseException(site_ +
                                       ": a server that does not hold the lock file "
                                       "already listens on " +
                                       socketPath_);
  }
  ::unlink(socketPath_.c_str());
}

void NamedPipeServiceHost::Impl::StartServer(const Plan& plan) {
  using namespace internal;
  auto core = std::make_shared<HostCore>(instance_, pid_, name_, site_);
  bool duplex = false;
  for (const ContractBinding* binding : ContractBindings()) {
    duplex = duplex || (plan.limits.count(binding->name) != 0 && binding->duplex);
  }
  // Every host serves grpc.health.v1.Health, so that any gRPC tool (and
  // norvctl endpoints) can ask whether it answers: a host of callback
  // (duplex) contracts gRPC's own, a host of unary contracts only a
  // synchronous one, so that the server keeps to one kind of threads (see
  // HealthService.h).
  grpc::ServerBuilder builder;
  if (!duplex) {
    builder.SetOption(std::make_unique<grpc::HealthCheckServiceServerBuilderOption>(nullptr));
    health_ = std::make_unique<HealthService>();
    builder.RegisterService(health_.get());
  }
  // The host accepts its connections itself, to learn who connected
  // (Acceptor.h); the server gets no listening port of its own.
  auto acceptor = std::make_shared<Acceptor>(socketPath_, site_);
  core->SetAcceptor(acceptor);
  builder.SetMaxReceiveMessageSize(-1);
  builder.SetMaxSendMessageSize(-1);
  builder.AddChannelArgument(GRPC_ARG_ENABLE_CHANNELZ, 0);
  builder.SetOption(std::make_unique<ReflectionOption>(plan.mex));
  std::vector<std::unique_ptr<grpc::experimental::ServerInterceptorFactoryInterface>> counters;
  counters.push_back(std::make_unique<CallCounterFactory>(calls_));
  counters.push_back(MonitorInterceptorFactory(
      pid_, name_, [weak = std::weak_ptr<const Acceptor>(acceptor)](std::string_view grpcPeer) {
        const std::shared_ptr<const Acceptor> known = weak.lock();
        return known ? known->Find(grpcPeer) : PeerIdentity{};
      }));
  builder.experimental().SetInterceptorCreators(std::move(counters));
  for (const ContractBinding* binding : ContractBindings()) {
    auto it = plan.limits.find(binding->name);
    if (it == plan.limits.end()) continue;
    services_.push_back(binding->makeService(core, it->second));
    builder.RegisterService(services_.back().get());
  }
  // Beside health and reflection, on the same socket: who is connected.
  services_.push_back(MakeIntrospectionService(core, name_, duplex));
  builder.RegisterService(services_.back().get());
  server_ = duplex ? StartWithDefaultHealthService(builder) : builder.BuildAndStart();
  if (!server_) {
    ::unlink(socketPath_.c_str());  // bound by the acceptor, never served
    throw AddressAccessDeniedException(site_ + ": cannot listen on " + socketPath_);
  }
  if (duplex) core->StartDispatcher();
  acceptor->Start(server_.get());
  acceptor_ = std::move(acceptor);
  {
    Base::MutexLock lock(&OpenHostsMu());
    OpenHosts()[socketPath_] = core;
  }
  core_ = std::move(core);
}

// Drops the server and the adapters it served; the server must be stopped
// (or never started).
void NamedPipeServiceHost::Impl::StopServer() noexcept {
  if (acceptor_) acceptor_->Stop();
  acceptor_.reset();
  server_.reset();
  services_.clear();
  health_.reset();
}

// The parent's server, sessions and lock, inherited by a forked child: kept
// as they are until the child ends (dropping the server would shut it down
// on the parent's connections), and the files left to the parent. The exit
// registry is left alone too: the child does not remove the parent's files.
void NamedPipeServiceHost::Impl::LetGoOfInherited() noexcept {
  using internal::KeepInherited;
  KeepInherited(std::move(core_));
  KeepInherited(std::shared_ptr<grpc::Server>(std::move(server_)));
  for (auto& service : services_) KeepInherited(std::shared_ptr<grpc::Service>(std::move(service)));
  services_.clear();
  KeepInherited(std::shared_ptr<internal::HealthService>(std::move(health_)));
  KeepInherited(calls_);
  KeepInherited(std::move(acceptor_));
  lock_.Abandon();
  filesTicket_ = 0;
}

void NamedPipeServiceHost::Impl::Close() {
  using namespace internal;
  std::string failure;
  if (core_ && InForkedChild()) {
    LetGoOfInherited();
  } else if (core_) {
    {
      Base::MutexLock lock(&OpenHostsMu());
      OpenHosts().erase(socketPath_);
    }
    // Refuses new connections first: the closer below reads a refused
    // connect as the sign that the shutdown has begun.
    acceptor_->Stop();
    core_->EndSessions();
    if (health_) health_->Shutdown();
    {
      // Calls in progress, and sessions still sending their end, get a
      // short grace; idle connections need none.
      IdleConnectionCloser closer(
          *server_,
          [this] { return calls_->load(std::memory_order_acquire) != 0 || core_->HasSessions(); },
          socketPath_);
      server_->Shutdown(DeadlineAfter(kCloseGrace));
    }
    server_->Wait();
    core_->StopDispatcher();
    StopServer();
    // Until here a process exit (from another thread) still removes the files.
    ForgetHostFiles(filesTicket_);
    filesTicket_ = 0;
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
  // A destructor reports nothing, and a cancellation of the calling thread
  // waits until it has returned: unwinding out of it would end the process.
  internal::CancellationDeferred deferred;
  Base::SwallowFailures([this] { impl_->Close(); });
}

ServiceEndpoint& NamedPipeServiceHost::AddServiceEndpoint(ContractType contractType) {
  if (internal::StepFails(testing::HostStep::kAddEndpoint)) {
    throw CommunicationException(impl_->site_ + ": adding an endpoint failed (injected by a test)");
  }
  if (impl_->core_) throw std::logic_error(impl_->site_ + ": the host is already open");
  const internal::ContractBinding* info = internal::FindContract(contractType.fullName);
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
void NamedPipeServiceHost::Close() {
  // The tear-down joins threads (one in a destructor) and waits inside gRPC,
  // where a cancellation of the calling thread cannot unwind; it is acted on
  // once the host is closed, from here, where the caller's frames unwind.
  internal::CancellationDeferred deferred;
  impl_->Close();
  internal::CancellationPoint();
}

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

PeerIdentity OperationContext::Peer() const { return {}; }

IShutdownRegistryView::~IShutdownRegistryView() = default;

std::string_view ShutdownAnswerName(ShutdownAnswer answer) noexcept {
  switch (answer) {
    case ShutdownAnswer::kNone:
      return "none";
    case ShutdownAnswer::kAgreed:
      return "agreed";
    case ShutdownAnswer::kRefused:
      return "refused";
    case ShutdownAnswer::kFailed:
      return "failed";
    case ShutdownAnswer::kTimedOut:
      return "timed-out";
  }
  return "unknown";
}

std::optional<std::vector<ShutdownSubscriberRecord>> ReadShutdownRegistry(std::int32_t pid) {
  std::string path;
  try {
    path = internal::SocketPath(internal::EndpointDirectory(), pid, "Shutdown");
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return std::nullopt;  // no usable endpoint directory: no host open here
  }
  std::shared_ptr<internal::HostCore> core = internal::FindOpenHost(path);
  if (core == nullptr) return std::nullopt;
  auto* view = dynamic_cast<const IShutdownRegistryView*>(core->Instance());
  if (view == nullptr) return std::nullopt;
  return view->Records();
}

OperationContext* OperationContext::Current() noexcept { return internal::tCurrentContext; }

namespace testing {

void SetHostStepFails(HostStep step, bool fails) noexcept {
  internal::gStepFails[static_cast<int>(step)].store(fails, std::memory_order_relaxed);
}

}  // namespace testing

}  // namespace Norv::ServiceModel
