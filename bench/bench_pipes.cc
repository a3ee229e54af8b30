// The named-pipe service component against its floor: a raw Unix-socket
// round trip, a bare gRPC unary call and a bare gRPC bidirectional-stream
// callback over the same kind of socket, then the component's own unary
// call (a channel obtained anew per call, as the bridges do), a reply of
// 1,000,000 (int, double) records, and a callback through a duplex session.
// The component's unary call and callback run once more in pairs, without
// and with a call monitor attached (alternating, so that the machine's load
// weighs on both alike): a monitor may cost a call at most 10%.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "bench/BenchSupport.h"
#include "norv/contracts/v1/data_service.grpc.pb.h"
#include "norv/contracts/v1/monitor.pb.h"
#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "services/MonitorSocket.h"
#include "services/NamedPipeServiceHost.h"

namespace {

using namespace Norv::ServiceModel;
using Contracts::Service::IDataService;
using Contracts::Service::IShutdown;
using Contracts::Service::IShutdownCallback;
namespace Data = Contracts::Data;
namespace v1 = norv::contracts::v1;
using Norv::Bench::ProcessCpu;
using Norv::Bench::RunDir;

constexpr std::size_t kMessageBytes = 100;

// --- raw Unix socket: an echo server on a persistent connection.
void BM_RawUnixSocketRoundTrip(benchmark::State& state) {
  std::string path = RunDir().File("raw.sock");
  ::unlink(path.c_str());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 1) != 0) {
    state.SkipWithError("cannot listen");
    return;
  }
  std::thread server([listener] {
    int fd = ::accept(listener, nullptr, nullptr);
    char buffer[kMessageBytes];
    for (;;) {
      std::size_t got = 0;
      while (got < kMessageBytes) {
        ssize_t n = ::read(fd, buffer + got, kMessageBytes - got);
        if (n <= 0) {
          ::close(fd);
          return;
        }
        got += static_cast<std::size_t>(n);
      }
      if (::send(fd, buffer, kMessageBytes, MSG_NOSIGNAL) != static_cast<ssize_t>(kMessageBytes)) {
        ::close(fd);
        return;
      }
    }
  });
  int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  char message[kMessageBytes] = {};
  {
    ProcessCpu cpu(state);
    for (auto _ : state) {
      ::send(client, message, kMessageBytes, MSG_NOSIGNAL);
      std::size_t got = 0;
      while (got < kMessageBytes) {
        ssize_t n = ::read(client, message + got, kMessageBytes - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
      }
    }
  }
  ::close(client);
  server.join();
  ::close(listener);
  ::unlink(path.c_str());
}
BENCHMARK(BM_RawUnixSocketRoundTrip)->UseRealTime();

// --- bare gRPC: the same operation served and called with nothing around it.
class BareDataService final : public v1::DataService::Service {
 public:
  v1::DoubleResultSetList records;

 private:
  grpc::Status GetForecastEURList(grpc::ServerContext*, const v1::ForecastListRequest*,
                                  v1::DoubleResultSetListReply* reply) override {
    *reply->mutable_value() = records;
    return grpc::Status::OK;
  }
  grpc::Status IsProjectAdmin(grpc::ServerContext*, const v1::CredentialsRequest* request,
                              v1::BoolReply* reply) override {
    reply->set_value(request->project_path() == "admin");
    return grpc::Status::OK;
  }
};

v1::CredentialsRequest SmallRequest() {
  v1::CredentialsRequest request;
  request.set_project_path("C:\\Projects\\North Field\\project.db");
  request.set_user_name("ann.other");
  request.set_password("not-a-real-password");
  return request;
}

// With the argument 0, the channel turns gRPC's retries off
// (GRPC_ARG_ENABLE_RETRIES 0); with 1 they stay on as by default, which with
// no retry policy in a service config means transparent retries only: the
// difference is the retry filter's cost on every call.
void BM_BareGrpcUnary(benchmark::State& state) {
  std::string path = RunDir().File("bare.sock");
  BareDataService service;
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + path, grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  auto server = builder.BuildAndStart();
  grpc::ChannelArguments arguments;
  arguments.SetInt(GRPC_ARG_ENABLE_RETRIES, static_cast<int>(state.range(0)));
  auto channel =
      grpc::CreateCustomChannel("unix:" + path, grpc::InsecureChannelCredentials(), arguments);
  auto stub = v1::DataService::NewStub(channel);
  v1::CredentialsRequest request = SmallRequest();
  {
    ProcessCpu cpu(state);
    for (auto _ : state) {
      grpc::ClientContext context;
      context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(60));
      v1::BoolReply reply;
      if (!stub->IsProjectAdmin(&context, request, &reply).ok()) state.SkipWithError("call failed");
    }
  }
  server->Shutdown();
}
BENCHMARK(BM_BareGrpcUnary)->ArgName("retries")->Arg(0)->Arg(1)->UseRealTime();

// The same 1,000,000 records as packed columns, bare: the floor for the
// component's list replies.
void BM_BareGrpcMillionRecords(benchmark::State& state) {
  std::string path = RunDir().File("bare-records.sock");
  BareDataService service;
  for (int i = 0; i < 1'000'000; ++i) {
    service.records.add_ids(i);
    service.records.add_values(i * 0.5);
  }
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + path, grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  auto server = builder.BuildAndStart();
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(-1);
  auto channel =
      grpc::CreateCustomChannel("unix:" + path, grpc::InsecureChannelCredentials(), args);
  auto stub = v1::DataService::NewStub(channel);
  v1::ForecastListRequest request;
  {
    ProcessCpu cpu(state);
    for (auto _ : state) {
      grpc::ClientContext context;
      v1::DoubleResultSetListReply reply;
      if (!stub->GetForecastEURList(&context, request, &reply).ok() ||
          reply.value().ids_size() != 1'000'000) {
        state.SkipWithError("call failed");
      }
    }
  }
  server->Shutdown();
}
BENCHMARK(BM_BareGrpcMillionRecords)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- the component.
class BenchDataService final : public IDataService {
 public:
  void LogOn(const String&, const String&, const String&, const String&) override {}
  bool IsProjectAdmin(const String& projectPath, const String&, const String&) override {
    return projectPath == Norv::ServiceString(u"admin");
  }
  bool IsUserRestricted(const String&, const String&, const String&) override { return false; }
  bool IsDatabaseCanBeConnected(const String&, const String&, const String&) override {
    return true;
  }
  Norv::Collection<String> GetAuthors(const String&, const String&, const String&) override {
    return std::nullopt;
  }
  double GetForecastEUR(const String&, const String&, const String&, std::int32_t, const String&,
                        const String&) override {
    return 0;
  }
  double GetForecastReserve(const String&, const String&, const String&, std::int32_t,
                            const String&, const String&) override {
    return 0;
  }
  Norv::DateTime GetForecastLife(const String&, const String&, const String&, std::int32_t,
                                 const String&, const String&) override {
    return {};
  }
  // Hands over the records prepared for this call, as a service hands over
  // the collection it has just built.
  Data::DoubleResultSetCollection GetForecastEURList(const String&, const String&, const String&,
                                                     const String&, const String&) override {
    return std::move(records);
  }
  Data::DoubleResultSetCollection GetForecastReserveList(const String&, const String&,
                                                         const String&, const String&,
                                                         const String&) override {
    return std::move(records);
  }
  Data::DateTimeResultSetCollection GetForecastLifeList(const String&, const String&, const String&,
                                                        const String&, const String&) override {
    return std::nullopt;
  }
  Norv::Collection<std::int32_t> GetBoreholeIdsWithForecast(const String&, const String&,
                                                            const String&, const String&,
                                                            const String&) override {
    return std::nullopt;
  }
  Data::StringResultSetCollection GetForecastTemplatesByAuthor(const String&, const String&,
                                                               const String&,
                                                               const String&) override {
    return std::nullopt;
  }

  Data::DoubleResultSetCollection records;
};

std::unique_ptr<NamedPipeServiceHost> OpenBenchHost(std::shared_ptr<BenchDataService> service) {
  RunDir();  // the run's private endpoints
  auto host = std::make_unique<NamedPipeServiceHost>(service, 1, "Bench");
  host->AddServiceEndpoint(TypeOf<IDataService>());
  SetMaxItemsInObjectGraph(host->Description(), std::numeric_limits<std::int32_t>::max());
  host->Open();
  return host;
}

// A call monitor attached for a benchmark's run, reading on a thread of its
// own as norvctl monitor does. The processes' library looks for monitors at
// most every 250 ms, so attaching and detaching wait that long before the
// timing starts.
constexpr std::chrono::milliseconds kMonitorNoticed{300};

class BenchMonitor {
 public:
  BenchMonitor() : reader_([this] { Read(); }) { std::this_thread::sleep_for(kMonitorNoticed); }
  ~BenchMonitor() {
    stop_ = true;
    reader_.join();
  }
  BenchMonitor(const BenchMonitor&) = delete;
  BenchMonitor& operator=(const BenchMonitor&) = delete;

  // Events received and events the senders dropped, so far.
  std::uint64_t Received() const { return received_; }
  std::uint64_t Dropped() const { return dropped_; }

 private:
  void Read() {
    std::string buffer(1 << 16, '\0');
    while (!stop_) {
      pollfd fd{socket_.Descriptor(), POLLIN, 0};
      if (::poll(&fd, 1, 50) <= 0) continue;
      for (;;) {
        ssize_t got = ::recv(socket_.Descriptor(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) break;
        v1::MonitorBatch batch;
        if (batch.ParseFromArray(buffer.data(), static_cast<int>(got))) {
          received_ += static_cast<std::uint64_t>(batch.events_size());
          dropped_ += batch.dropped();
        }
      }
    }
  }

  MonitorSocket socket_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::thread reader_;
};

// Arg 0: no monitor (after waiting for a previous one's detaching to be
// noticed); arg 1: a monitor attached.
void AttachIfAsked(const benchmark::State& state, std::optional<BenchMonitor>& monitor) {
  if (state.range(0) != 0) {
    monitor.emplace();
  } else {
    std::this_thread::sleep_for(kMonitorNoticed);
  }
}

// Lets the reader catch up with the last events, then reports its counts.
void FinishWatching(benchmark::State& state, const std::optional<BenchMonitor>& monitor) {
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (!monitor) return;
  state.counters["events"] = benchmark::Counter(static_cast<double>(monitor->Received()),
                                                benchmark::Counter::kAvgIterations);
  state.counters["dropped"] = static_cast<double>(monitor->Dropped());
}

// The component's unary call; `watched`: with the monitor that the
// benchmark's argument asks for, whose counts are reported.
void RunComponentUnary(benchmark::State& state, bool watched) {
  auto service = std::make_shared<BenchDataService>();
  auto host = OpenBenchHost(service);
  Norv::ServiceString path(u"C:\\Projects\\North Field\\project.db");
  Norv::ServiceString user(u"ann.other");
  Norv::ServiceString password(u"not-a-real-password");
  std::optional<BenchMonitor> monitor;
  if (watched) AttachIfAsked(state, monitor);
  {
    ProcessCpu cpu(state);
    for (auto _ : state) {
      auto channel = NamedPipeServiceHost::GetSingleChannel<IDataService>(1, "Bench");
      benchmark::DoNotOptimize(channel->IsProjectAdmin(path, user, password));
    }
  }
  if (watched) FinishWatching(state, monitor);
  host->Close();
}

void BM_ComponentUnary(benchmark::State& state) { RunComponentUnary(state, false); }
BENCHMARK(BM_ComponentUnary)->UseRealTime();

void BM_ComponentUnaryWatched(benchmark::State& state) { RunComponentUnary(state, true); }
BENCHMARK(BM_ComponentUnaryWatched)
    ->ArgName("monitor")
    ->Arg(0)
    ->Arg(1)
    ->Arg(0)
    ->Arg(1)
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime();

void BM_ComponentMillionRecords(benchmark::State& state) {
  auto service = std::make_shared<BenchDataService>();
  std::vector<std::optional<Data::DoubleResultSet>> records;
  records.reserve(1'000'000);
  for (int i = 0; i < 1'000'000; ++i) records.emplace_back(Data::DoubleResultSet(i, i * 0.5));
  auto host = OpenBenchHost(service);
  Norv::ServiceString empty(u"");
  {
    ProcessCpu cpu(state);
    for (auto _ : state) {
      // Building the service's collection is the service's work, not the
      // transfer's: the bare benchmark, too, serializes a reply it holds.
      state.PauseTiming();
      service->records = records;
      state.ResumeTiming();
      auto channel = NamedPipeServiceHost::GetSingleChannel<IDataService>(1, "Bench");
      auto reply = channel->GetForecastEURList(empty, empty, empty, empty, empty);
      if (!reply || reply->size() != 1'000'000) state.SkipWithError("short reply");
    }
  }
  host->Close();
}
BENCHMARK(BM_ComponentMillionRecords)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- bare bidirectional stream: the server pushes a callback request, the
// client answers it at once. The benchmark thread hands each request to the
// server's handler thread, as a registry walk hands its call to the session.
class BareShutdownService final : public v1::Shutdown::Service {
 public:
  grpc::Status Session(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<v1::ServerMessage, v1::ClientMessage>* stream) override {
    v1::ClientMessage in;
    for (;;) {
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return wanted_ > done_ || stop_; });
        if (stop_) return grpc::Status::OK;
      }
      v1::ServerMessage out;
      out.mutable_callback()->set_id(1);
      out.mutable_callback()->mutable_request_shutdown();
      if (!stream->Write(out) || !stream->Read(&in)) return grpc::Status::OK;
      std::lock_guard lock(mu_);
      ++done_;
      cv_.notify_all();
    }
  }

  void RoundTrip() {
    std::unique_lock lock(mu_);
    ++wanted_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return done_ == wanted_; });
  }
  void Stop() {
    std::lock_guard lock(mu_);
    stop_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::uint64_t wanted_ = 0;
  std::uint64_t done_ = 0;
  bool stop_ = false;
};

void BM_BareDuplexCallbackRoundTrip(benchmark::State& state) {
  std::string path = RunDir().File("duplex.sock");
  BareShutdownService service;
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + path, grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  auto server = builder.BuildAndStart();
  auto channel = grpc::CreateChannel("unix:" + path, grpc::InsecureChannelCredentials());
  auto stub = v1::Shutdown::NewStub(channel);
  grpc::ClientContext context;
  auto stream = stub->Session(&context);
  std::thread client([&] {
    v1::ServerMessage in;
    while (stream->Read(&in)) {
      v1::ClientMessage out;
      out.mutable_callback_reply()->set_id(in.callback().id());
      out.mutable_callback_reply()->set_accepted(true);
      if (!stream->Write(out)) break;
    }
  });
  {
    ProcessCpu cpu(state);
    for (auto _ : state) service.RoundTrip();
  }
  service.Stop();
  context.TryCancel();
  client.join();
  stream->Finish();
  server->Shutdown();
}
BENCHMARK(BM_BareDuplexCallbackRoundTrip)->UseRealTime();

class AcceptingCallback final : public IShutdownCallback {
 public:
  bool RequestShutdown() override { return true; }
  void ForceShutdown() override {}
};

class CapturingShutdown final : public IShutdown {
 public:
  void Subscribe(std::int32_t) override {
    channel = OperationContext::Current()->GetCallbackChannel<IShutdownCallback>();
  }
  void Unsubscribe(std::int32_t) override {}
  void Ping() override {}
  std::shared_ptr<IShutdownCallback> channel;
};

// The component's callback round trip; `watched` as for RunComponentUnary.
void RunComponentCallback(benchmark::State& state, bool watched) {
  auto service = std::make_shared<CapturingShutdown>();
  RunDir();  // the run's private endpoints
  NamedPipeServiceHost host(service, 1, "Shutdown");
  host.AddServiceEndpoint(TypeOf<IShutdown>());
  host.Open();
  auto session = DuplexChannelFactory<IShutdown>::CreateChannel(
      std::make_shared<AcceptingCallback>(), 1, "Shutdown");
  session->Subscribe(1);
  std::optional<BenchMonitor> monitor;
  if (watched) AttachIfAsked(state, monitor);
  {
    ProcessCpu cpu(state);
    for (auto _ : state) benchmark::DoNotOptimize(service->channel->RequestShutdown());
  }
  if (watched) FinishWatching(state, monitor);
  session->Close();
  host.Close();
}

void BM_ComponentCallbackRoundTrip(benchmark::State& state) { RunComponentCallback(state, false); }
BENCHMARK(BM_ComponentCallbackRoundTrip)->UseRealTime();

void BM_ComponentCallbackWatched(benchmark::State& state) { RunComponentCallback(state, true); }
BENCHMARK(BM_ComponentCallbackWatched)
    ->ArgName("monitor")
    ->Arg(0)
    ->Arg(1)
    ->Arg(0)
    ->Arg(1)
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
