// The data service bridge against its floors, measured in one run:
//   IsProjectAdmin   a bare gRPC unary call; the component's call to a
//                    service that answers at once; the bridge end to end
//                    against the reference service on a SQLite project
//                    (credentials remembered after the first call).
//   1,000,000-record lists (GetForecastEURList, GetForecastLifeList)
//                    the component's own transfer (the channel called
//                    directly, answering service values) beside the bridge
//                    (the same transfer plus the conversion to native
//                    pairs), and the conversion alone.
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "conversion/Conversion.h"
#include "norv/interop/MirnDataService.h"
#include "proto/data_service.grpc.pb.h"
#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "servers/dataservice/SqliteDataService.h"
#include "services/NamedPipeServiceHost.h"
#include "services/Text.h"

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
constexpr char kProject[] = "C:\\Projects\\North Field\\project.db";
constexpr char kUser[] = "ann.other";
constexpr char kPassword[] = "not-a-real-password";

char* C(const char* text) { return const_cast<char*>(text); }

// A data service answering at once: IsProjectAdmin, and two prepared lists
// of a million records each.
class ListService final : public IDataService {
 public:
  ListService() {
    eur_.emplace();
    life_.emplace();
    eur_->reserve(kRecords);
    life_->reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) {
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

// The hosts of the run, started on first use and closed by main().
struct Hosts {
  Hosts() {
    const auto db = RunDir().Path() / "project.db";
    {
      Norv::Servers::ProjectWriter writer(db);
      std::int64_t project = writer.AddProject(kProject, "North Field");
      writer.AddUser(project, kUser, kPassword, true, false,
                     Norv::Servers::PasswordHashCost::kMinimal);
    }
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

void BM_IsProjectAdmin_BareGrpc(benchmark::State& state) {
  std::string path = (RunDir().Path() / "bare.sock").string();
  BareDataService service;
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + path, grpc::InsecureServerCredentials());
  builder.RegisterService(&service);
  auto server = builder.BuildAndStart();
  auto stub = v1::DataService::NewStub(
      grpc::CreateChannel("unix:" + path, grpc::InsecureChannelCredentials()));
  v1::CredentialsRequest request;
  request.set_project_path(kProject);
  request.set_user_name(kUser);
  request.set_password(kPassword);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    grpc::ClientContext context;
    context.set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(60));
    v1::BoolReply reply;
    if (!stub->IsProjectAdmin(&context, request, &reply).ok() || !reply.value()) {
      state.SkipWithError("call failed");
    }
  }
  server->Shutdown();
}
BENCHMARK(BM_IsProjectAdmin_BareGrpc)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The component to a service that answers at once, a channel per call.
void BM_IsProjectAdmin_Component(benchmark::State& state) {
  TheHosts();
  const ServiceString p = ServiceString::FromUtf8(kProject), u = ServiceString::FromUtf8(kUser),
                      w = ServiceString::FromUtf8(kPassword);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    auto channel =
        NamedPipeServiceHost::GetSingleChannel<IDataService>(kListPid, TypeOf<IDataService>());
    if (!channel->IsProjectAdmin(p, u, w)) state.SkipWithError("not an administrator");
  }
}
BENCHMARK(BM_IsProjectAdmin_Component)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The component's call to the reference service, without the bridge.
void BM_IsProjectAdmin_ComponentToReferenceService(benchmark::State& state) {
  TheHosts();
  const ServiceString p = ServiceString::FromUtf8(kProject), u = ServiceString::FromUtf8(kUser),
                      w = ServiceString::FromUtf8(kPassword);
  auto first =
      NamedPipeServiceHost::GetSingleChannel<IDataService>(kReferencePid, TypeOf<IDataService>());
  first->IsProjectAdmin(p, u, w);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    auto channel =
        NamedPipeServiceHost::GetSingleChannel<IDataService>(kReferencePid, TypeOf<IDataService>());
    if (!channel->IsProjectAdmin(p, u, w)) state.SkipWithError("not an administrator");
  }
}
BENCHMARK(BM_IsProjectAdmin_ComponentToReferenceService)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_IsProjectAdmin_BridgeToReferenceService(benchmark::State& state) {
  TheHosts();
  // The first call pays the slow password hash; later ones are remembered.
  MirnDataService::IsProjectAdmin(C(kProject), C(kUser), C(kPassword), kReferencePid);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    if (!MirnDataService::IsProjectAdmin(C(kProject), C(kUser), C(kPassword), kReferencePid)) {
      state.SkipWithError("not an administrator");
    }
  }
}
BENCHMARK(BM_IsProjectAdmin_BridgeToReferenceService)->UseRealTime()->Unit(benchmark::kMicrosecond);

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
          return NativeStringKeyValuePair{
              life.Id(), Norv::Interop::NativeString(Norv::Interop::FormatShortDate(life.Value()))};
        });
    benchmark::DoNotOptimize(pairs);
  }
}
BENCHMARK(BM_LifeList_ConversionOnly)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (auto& hosts = HostsSlot()) {
    hosts->reference->Close();
    hosts->lists->Close();
    hosts.reset();
  }
  return 0;
}
