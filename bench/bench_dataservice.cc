// The data service bridge against its floors, measured in one run:
//   IsProjectAdmin   a bare gRPC unary call; the component's call to a
//                    service that answers at once; the bridge end to end
//                    against the reference service on a SQLite project
//                    (credentials remembered after the first call). Once
//                    with the services in this process, and once with them
//                    in a second process (this program, started with
//                    --serve), as a host application and a data service
//                    are deployed.
//   1,000,000-record lists (GetForecastEURList, GetForecastLifeList)
//                    the component's own transfer (the channel called
//                    directly, answering service values) beside the bridge
//                    (the same transfer plus the conversion to native
//                    pairs), and the conversion alone.
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchSupport.h"
#include "conversion/Conversion.h"
#include "norv/contracts/v1/data_service.grpc.pb.h"
#include "norv/interop/MirnDataService.h"
#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "servers/dataservice/SqliteDataService.h"
#include "services/NamedPipeServiceHost.h"
#include "services/Text.h"
#include "tests/support/ChildProcess.h"

namespace {

using Norv::DateTime;
using Norv::ServiceString;
using Norv::MirnDataService::Interop::MirnDataService;
using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::TypeOf;
using Norv::ServiceModel::Contracts::Service::IDataService;
namespace Data = Norv::ServiceModel::Contracts::Data;
namespace v1 = norv::contracts::v1;
using Norv::Bench::ProcessCpu;
using Norv::Bench::RunDir;

constexpr int kRecords = 1'000'000;
constexpr std::int32_t kReferencePid = 4200001;
constexpr std::int32_t kListPid = 4200002;
// The hosts of the second process.
constexpr std::int32_t kRemoteReferencePid = 4200003;
constexpr std::int32_t kRemoteInstantPid = 4200004;
constexpr char kProject[] = "C:\\Projects\\North Field\\project.db";
constexpr char kUser[] = "ann.other";
constexpr char kPassword[] = "not-a-real-password";

char* C(const char* text) { return const_cast<char*>(text); }

// A data service answering at once: IsProjectAdmin, and two prepared lists
// of a million records each.
class ListService final : public IDataService {
 public:
  explicit ListService(int records = kRecords) {
    eur_.emplace();
    life_.emplace();
    eur_->reserve(records);
    life_->reserve(records);
    for (int i = 0; i < records; ++i) {
      eur_->emplace_back(Data::DoubleResultSet(kRecords - i, i * 0.25));
      life_->emplace_back(
          Data::DateTimeResultSet(kRecords - i, DateTime{2020 + i % 40, 1 + i % 12, 1 + i % 28}));
    }
  }
  void LogOn(const String&, const String&, const String&, const String&) override {}
  bool IsProjectAdmin(const String&, const String&, const String&) override { return true; }
  bool IsUserRestricted(const String&, const String&, const String&) override { return false; }
  bool IsDatabaseCanBeConnected(const String&, const String&, const String&) override {
    return true;
  }
  Norv::Collection<String> GetAuthors(const String&, const String&, const String&) override {
    return std::vector<String>{};
  }
  double GetForecastEUR(const String&, const String&, const String&, std::int32_t, const String&,
                        const String&) override {
    return 0;
  }
  double GetForecastReserve(const String&, const String&, const String&, std::int32_t,
                            const String&, const String&) override {
    return 0;
  }
  DateTime GetForecastLife(const String&, const String&, const String&, std::int32_t, const String&,
                           const String&) override {
    return {};
  }
  Data::DoubleResultSetCollection GetForecastEURList(const String&, const String&, const String&,
                                                     const String&, const String&) override {
    return eur_;
  }
  Data::DoubleResultSetCollection GetForecastReserveList(const String&, const String&,
                                                         const String&, const String&,
                                                         const String&) override {
    return eur_;
  }
  Data::DateTimeResultSetCollection GetForecastLifeList(const String&, const String&, const String&,
                                                        const String&, const String&) override {
    return life_;
  }
  Norv::Collection<std::int32_t> GetBoreholeIdsWithForecast(const String&, const String&,
                                                            const String&, const String&,
                                                            const String&) override {
    return std::vector<std::int32_t>{};
  }
  Data::StringResultSetCollection GetForecastTemplatesByAuthor(const String&, const String&,
                                                               const String&,
                                                               const String&) override {
    return Data::StringResultSetCollection::value_type{};
  }

  Data::DoubleResultSetCollection eur_;
  Data::DateTimeResultSetCollection life_;
};

// A project whose one user is an administrator.
void WriteProject(const std::filesystem::path& db) {
  Norv::Servers::ProjectWriter writer(db);
  std::int64_t project = writer.AddProject(kProject, "North Field");
  writer.AddUser(project, kUser, kPassword, true, false, Norv::Servers::PasswordHashCost::kMinimal);
}

// The hosts of the run, started on first use and closed by main().
struct Hosts {
  Hosts() {
    const auto db = RunDir().Path() / "project.db";
    WriteProject(db);
    reference = Norv::Servers::NewDataServiceHost(
        std::make_shared<Norv::Servers::SqliteDataService>(db), kReferencePid);
    reference->Open();
    listService = std::make_shared<ListService>();
    lists = Norv::Servers::NewDataServiceHost(listService, kListPid);
    lists->Open();
  }
  std::unique_ptr<NamedPipeServiceHost> reference;
  std::shared_ptr<ListService> listService;
  std::unique_ptr<NamedPipeServiceHost> lists;
};

std::unique_ptr<Hosts>& HostsSlot() {
  static std::unique_ptr<Hosts> hosts;
  return hosts;
}

Hosts& TheHosts() {
  auto& hosts = HostsSlot();
  if (!hosts) hosts = std::make_unique<Hosts>();
  return *hosts;
}

// --- IsProjectAdmin.

class BareDataService final : public v1::DataService::Service {
  grpc::Status IsProjectAdmin(grpc::ServerContext*, const v1::CredentialsRequest* request,
                              v1::BoolReply* reply) override {
    reply->set_value(request->user_name() == kUser);
    return grpc::Status::OK;
  }
};

std::unique_ptr<grpc::Server> StartBareServer(const std::string& path, BareDataService& service) {
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + path, grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  return builder.BuildAndStart();
}

// The services of the second process: a bare gRPC server, the reference
// service and a service answering at once. Started on first use; the
// process ends when this one closes its input.
class RemoteHosts {
 public:
  RemoteHosts() : child_({"/proc/self/exe", "--serve", RunDir().Path().string()}) {
    auto line = child_.ReadLine();
    if (line != "ready") throw std::runtime_error("the serving process did not start");
  }
  ~RemoteHosts() {
    child_.CloseInput();
    child_.Wait();
  }
  static std::string BareSocket(const std::filesystem::path& dir) {
    return (dir / "bare-remote.sock").string();
  }

 private:
  Norv::Testing::ChildProcess child_;
};

std::unique_ptr<RemoteHosts>& RemoteHostsSlot() {
  static std::unique_ptr<RemoteHosts> hosts;
  return hosts;
}

void StartRemoteHosts() {
  auto& hosts = RemoteHostsSlot();
  if (!hosts) hosts = std::make_unique<RemoteHosts>();
}

// The serving process's main: hosts until its input ends.
int Serve(const std::filesystem::path& dir) {
  ::setenv("NORV_PIPE_DIR", (dir / "pipes").c_str(), 1);
  const auto db = dir / "remote.db";
  WriteProject(db);
  auto reference = Norv::Servers::NewDataServiceHost(
      std::make_shared<Norv::Servers::SqliteDataService>(db), kRemoteReferencePid);
  reference->Open();
  auto instant =
      Norv::Servers::NewDataServiceHost(std::make_shared<ListService>(0), kRemoteInstantPid);
  instant->Open();
  BareDataService bareService;
  auto bare = StartBareServer(RemoteHosts::BareSocket(dir), bareService);
  std::printf("ready\n");
  std::fflush(stdout);
  char buffer[64];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  bare->Shutdown();
  instant->Close();
  reference->Close();
  return 0;
}

// A plain generated stub on the bare server's socket.
class BareClient {
 public:
  explicit BareClient(const std::string& path)
      : stub_(v1::DataService::NewStub(
            grpc::CreateChannel("unix:" + path, grpc::InsecureChannelCredentials()))) {
    request_.set_project_path(kProject);
    request_.set_user_name(kUser);
    request_.set_password(kPassword);
  }
  // Whether the call succeeded and answered true.
  bool IsProjectAdmin() {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(60));
    v1::BoolReply reply;
    return stub_->IsProjectAdmin(&context, request_, &reply).ok() && reply.value();
  }

 private:
  std::unique_ptr<v1::DataService::Stub> stub_;
  v1::CredentialsRequest request_;
};

void BareCalls(benchmark::State& state, const std::string& path) {
  BareClient client(path);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    if (!client.IsProjectAdmin()) state.SkipWithError("call failed");
  }
}

// The component's calls on the channel for `pid`, a channel per call.
void ComponentCalls(benchmark::State& state, std::int32_t pid) {
  const ServiceString p = ServiceString::FromUtf8(kProject), u = ServiceString::FromUtf8(kUser),
                      w = ServiceString::FromUtf8(kPassword);
  // The first call may pay the slow password hash; later ones are remembered.
  NamedPipeServiceHost::GetSingleChannel<IDataService>(pid, TypeOf<IDataService>())
      ->IsProjectAdmin(p, u, w);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    auto channel =
        NamedPipeServiceHost::GetSingleChannel<IDataService>(pid, TypeOf<IDataService>());
    if (!channel->IsProjectAdmin(p, u, w)) state.SkipWithError("not an administrator");
  }
}

void BridgeCalls(benchmark::State& state, std::int32_t pid) {
  MirnDataService::IsProjectAdmin(C(kProject), C(kUser), C(kPassword), pid);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    if (!MirnDataService::IsProjectAdmin(C(kProject), C(kUser), C(kPassword), pid)) {
      state.SkipWithError("not an administrator");
    }
  }
}

void BM_IsProjectAdmin_BareGrpc(benchmark::State& state) {
  std::string path = (RunDir().Path() / "bare.sock").string();
  BareDataService service;
  auto server = StartBareServer(path, service);
  BareCalls(state, path);
  server->Shutdown();
}
BENCHMARK(BM_IsProjectAdmin_BareGrpc)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The component to a service that answers at once.
void BM_IsProjectAdmin_Component(benchmark::State& state) {
  TheHosts();
  ComponentCalls(state, kListPid);
}
BENCHMARK(BM_IsProjectAdmin_Component)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The component's call to the reference service, without the bridge.
void BM_IsProjectAdmin_ComponentToReferenceService(benchmark::State& state) {
  TheHosts();
  ComponentCalls(state, kReferencePid);
}
BENCHMARK(BM_IsProjectAdmin_ComponentToReferenceService)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_IsProjectAdmin_BridgeToReferenceService(benchmark::State& state) {
  TheHosts();
  BridgeCalls(state, kReferencePid);
}
BENCHMARK(BM_IsProjectAdmin_BridgeToReferenceService)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A bare call and a bridge call to the reference service in turn, each
// timed: on a shared machine the load drifts between benchmarks run one
// after the other, while calls in turn meet the same load. Reports the
// median of each and their ratio.
void AlternatingCalls(benchmark::State& state, const std::string& bareSocket, std::int32_t pid) {
  BareClient client(bareSocket);
  MirnDataService::IsProjectAdmin(C(kProject), C(kUser), C(kPassword), pid);
  std::vector<double> bare, bridge;
  using Clock = std::chrono::steady_clock;
  auto micros = [](Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
  };
  for (auto _ : state) {
    auto start = Clock::now();
    bool bareOk = client.IsProjectAdmin();
    auto middle = Clock::now();
    bool bridgeOk = MirnDataService::IsProjectAdmin(C(kProject), C(kUser), C(kPassword), pid);
    auto end = Clock::now();
    if (!bareOk || !bridgeOk) state.SkipWithError("call failed");
    bare.push_back(micros(middle - start));
    bridge.push_back(micros(end - middle));
  }
  auto median = [](std::vector<double>& v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  double bareMedian = median(bare), bridgeMedian = median(bridge);
  state.counters["bare_us"] = bareMedian;
  state.counters["bridge_us"] = bridgeMedian;
  state.counters["ratio"] = bareMedian > 0 ? bridgeMedian / bareMedian : 0;
}

void BM_IsProjectAdmin_Alternating(benchmark::State& state) {
  TheHosts();
  std::string path = (RunDir().Path() / "bare.sock").string();
  BareDataService service;
  auto server = StartBareServer(path, service);
  AlternatingCalls(state, path, kReferencePid);
  server->Shutdown();
}
BENCHMARK(BM_IsProjectAdmin_Alternating)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same with the services in the second process.
void BM_IsProjectAdmin_CrossProcess_BareGrpc(benchmark::State& state) {
  StartRemoteHosts();
  BareCalls(state, RemoteHosts::BareSocket(RunDir().Path()));
}
BENCHMARK(BM_IsProjectAdmin_CrossProcess_BareGrpc)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_IsProjectAdmin_CrossProcess_Component(benchmark::State& state) {
  StartRemoteHosts();
  ComponentCalls(state, kRemoteInstantPid);
}
BENCHMARK(BM_IsProjectAdmin_CrossProcess_Component)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_IsProjectAdmin_CrossProcess_BridgeToReferenceService(benchmark::State& state) {
  StartRemoteHosts();
  BridgeCalls(state, kRemoteReferencePid);
}
BENCHMARK(BM_IsProjectAdmin_CrossProcess_BridgeToReferenceService)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_IsProjectAdmin_CrossProcess_Alternating(benchmark::State& state) {
  StartRemoteHosts();
  AlternatingCalls(state, RemoteHosts::BareSocket(RunDir().Path()), kRemoteReferencePid);
}
BENCHMARK(BM_IsProjectAdmin_CrossProcess_Alternating)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The reference service's own share: the same question asked of the service
// object directly, without a channel.
void BM_IsProjectAdmin_ReferenceServiceAlone(benchmark::State& state) {
  TheHosts();  // writes the project
  Norv::Servers::SqliteDataService service(RunDir().Path() / "project.db");
  const ServiceString p = ServiceString::FromUtf8(kProject), u = ServiceString::FromUtf8(kUser),
                      w = ServiceString::FromUtf8(kPassword);
  service.IsProjectAdmin(p, u, w);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    if (!service.IsProjectAdmin(p, u, w)) state.SkipWithError("not an administrator");
  }
}
BENCHMARK(BM_IsProjectAdmin_ReferenceServiceAlone)->UseRealTime()->Unit(benchmark::kMicrosecond);

// --- Lists of a million records.

void BM_EURList_ComponentTransfer(benchmark::State& state) {
  TheHosts();
  const ServiceString s = ServiceString::FromUtf8("x");
  for (auto _ : state) {
    auto channel =
        NamedPipeServiceHost::GetSingleChannel<IDataService>(kListPid, TypeOf<IDataService>());
    auto records = channel->GetForecastEURList(s, s, s, s, s);
    if (!records || records->size() != kRecords) state.SkipWithError("wrong answer");
    benchmark::DoNotOptimize(records);
  }
}
BENCHMARK(BM_EURList_ComponentTransfer)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_EURList_Bridge(benchmark::State& state) {
  TheHosts();
  for (auto _ : state) {
    auto pairs =
        MirnDataService::GetForecastEURList(C("x"), C("x"), C("x"), kListPid, C("x"), C("x"));
    if (pairs.size() != kRecords) state.SkipWithError("wrong answer");
    benchmark::DoNotOptimize(pairs);
  }
}
BENCHMARK(BM_EURList_Bridge)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_EURList_ConversionOnly(benchmark::State& state) {
  const auto& records = TheHosts().listService->eur_;
  for (auto _ : state) {
    auto pairs = Norv::MirnDataService::Interop::ConvertToNativeDoubleKeyValuePair(
        records, "GetForecastEURList");
    benchmark::DoNotOptimize(pairs);
  }
}
BENCHMARK(BM_EURList_ConversionOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LifeList_ComponentTransfer(benchmark::State& state) {
  TheHosts();
  const ServiceString s = ServiceString::FromUtf8("x");
  for (auto _ : state) {
    auto channel =
        NamedPipeServiceHost::GetSingleChannel<IDataService>(kListPid, TypeOf<IDataService>());
    auto records = channel->GetForecastLifeList(s, s, s, s, s);
    if (!records || records->size() != kRecords) state.SkipWithError("wrong answer");
    benchmark::DoNotOptimize(records);
  }
}
BENCHMARK(BM_LifeList_ComponentTransfer)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_LifeList_Bridge(benchmark::State& state) {
  TheHosts();
  Norv::Text::SetCurrentCulture("en-US");
  for (auto _ : state) {
    auto pairs =
        MirnDataService::GetForecastLifeList(C("x"), C("x"), C("x"), kListPid, C("x"), C("x"));
    if (pairs.size() != kRecords) state.SkipWithError("wrong answer");
    benchmark::DoNotOptimize(pairs);
  }
}
BENCHMARK(BM_LifeList_Bridge)->UseRealTime()->Unit(benchmark::kMillisecond);

// The bridge's conversion of the life list alone, by the same rule.
void BM_LifeList_ConversionOnly(benchmark::State& state) {
  const auto& records = TheHosts().listService->life_;
  Norv::Text::SetCurrentCulture("en-US");
  for (auto _ : state) {
    auto pairs = Norv::Interop::ConvertList<NativeStringKeyValuePair>(
        records, "GetForecastLifeList",
        [](const std::optional<Data::DateTimeResultSet>& record, std::size_t i) {
          const auto& life = Norv::Interop::RecordAt(record, "GetForecastLifeList", i);
          return NativeStringKeyValuePair{life.Id(), Norv::Interop::NativeShortDate(life.Value())};
        });
    benchmark::DoNotOptimize(pairs);
  }
}
BENCHMARK(BM_LifeList_ConversionOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--serve") return Serve(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (auto& hosts = HostsSlot()) {
    hosts->reference->Close();
    hosts->lists->Close();
    hosts.reset();
  }
  RemoteHostsSlot().reset();
  return 0;
}
