// The listing and pruning API in the test's own process, against hosts of
// the component: what reflection reports, who holds a lock, and that
// listing never gets in the way of a host opening or closing.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <grpcpp/grpcpp.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "services/EndpointListing.h"
#include "services/NamedPipeServiceHost.h"
#include "tests/pipes/TestServices.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::FakeDataService;
using Norv::Testing::FakeLauncher;
using Norv::Testing::PrivatePipeDir;
using Norv::Testing::RecordingShutdown;
using ::testing::ElementsAre;

using namespace std::chrono_literals;

// Above any pid_max Linux allows (4194304).
constexpr std::int32_t kNoSuchPid = 2147480041;

std::string OwnName() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

const EndpointInfo* Find(const EndpointListing& listing, std::int32_t pid,
                         const std::string& name) {
  for (const EndpointInfo& info : listing.endpoints) {
    if (info.pid == pid && info.name == name) return &info;
  }
  return nullptr;
}

TEST(EndpointListing, ReportsEachHostOfTheProcessWithWhatItServes) {
  PrivatePipeDir pipes;
  NamedPipeServiceHost shutdown(std::make_shared<RecordingShutdown>(), kNoSuchPid, "Shutdown");
  shutdown.AddServiceEndpoint(TypeOf<Contracts::Service::IShutdown>());
  shutdown.AddMexServiceEndpoint();
  shutdown.Open();
  // A name that needs encoding comes back decoded.
  NamedPipeServiceHost launcher(std::make_shared<FakeLauncher>(), 42, "Launcher/ü");
  launcher.AddServiceEndpoint(TypeOf<Contracts::Service::IApplicationLauncher>());
  launcher.Open();

  EndpointListing listing = ListEndpoints(1000ms);
  EXPECT_EQ(listing.directory, (pipes.Path() / "pipes").string());
  ASSERT_EQ(listing.endpoints.size(), 2u);

  const EndpointInfo* host = Find(listing, kNoSuchPid, "Shutdown");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->state, EndpointState::kLive);
  EXPECT_TRUE(host->lockHeld);
  EXPECT_EQ(host->lockHolder, ::getpid());
  EXPECT_TRUE(host->reflection);
  EXPECT_THAT(host->services,
              ElementsAre("grpc.health.v1.Health", "grpc.reflection.v1alpha.ServerReflection",
                          "norv.contracts.v1.Introspection", "norv.contracts.v1.Shutdown"));
  // The kernel names the serving process; the host names its connections,
  // this listing's own probe among them.
  EXPECT_EQ(host->serverPid, ::getpid());
  EXPECT_TRUE(host->introspection);
  EXPECT_FALSE(host->connections.empty());
  EXPECT_EQ(host->health, "SERVING");
  EXPECT_EQ(host->socketPath, shutdown.Description().Endpoints()[0]->Address());
  EXPECT_EQ(host->processName, "");  // no process has that id

  const EndpointInfo* other = Find(listing, 42, "Launcher/ü");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->state, EndpointState::kLive);
  EXPECT_FALSE(other->reflection);
  EXPECT_TRUE(other->services.empty());
  EXPECT_EQ(other->health, "SERVING");

  // Closed hosts leave nothing behind, so nothing is listed or pruned.
  shutdown.Close();
  launcher.Close();
  listing = ListEndpoints(1000ms);
  EXPECT_TRUE(listing.endpoints.empty());
  EXPECT_TRUE(PruneStaleEndpoints(listing).empty());
}

TEST(EndpointListing, NamesTheProcessOfTheEndpointsPid) {
  PrivatePipeDir pipes;
  auto pid = static_cast<std::int32_t>(::getpid());
  NamedPipeServiceHost host(std::make_shared<FakeDataService>(), pid, "Own");
  host.AddServiceEndpoint(TypeOf<Contracts::Service::IDataService>());
  host.Open();
  EndpointListing listing = ListEndpoints(1000ms);
  ASSERT_EQ(listing.endpoints.size(), 1u);
  EXPECT_EQ(listing.endpoints[0].processName, OwnName());
  EXPECT_EQ(EndpointStateName(listing.endpoints[0].state), "live");
}

// A gRPC server that ignores the lock files: it answers, so it is no stale
// endpoint, and its socket stays whatever --prune is asked.
TEST(EndpointListing, AServerWithoutTheLockIsUnlockedAndKept) {
  PrivatePipeDir pipes;
  const std::filesystem::path dir = pipes.Path() / "pipes";
  std::filesystem::create_directory(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
  const std::string socket = (dir / "2147480051.Foreign.sock").string();
  grpc::EnableDefaultHealthCheckService(true);
  grpc::ServerBuilder builder;
  builder.AddListeningPort("unix:" + socket, grpc::InsecureServerCredentials());
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  ASSERT_NE(server, nullptr);

  EndpointListing listing = ListEndpoints(1000ms);
  ASSERT_EQ(listing.endpoints.size(), 1u);
  const EndpointInfo& foreign = listing.endpoints[0];
  EXPECT_EQ(foreign.name, "Foreign");
  EXPECT_EQ(foreign.state, EndpointState::kUnlocked);
  EXPECT_TRUE(foreign.answers);
  EXPECT_FALSE(foreign.lockHeld);
  EXPECT_EQ(foreign.lockPath, "");

  // Even listed as stale (as an outdated listing might), a socket that
  // accepts is kept, and the guard lock taken to check it goes again.
  EndpointListing outdated = listing;
  outdated.endpoints[0].state = EndpointState::kStale;
  EXPECT_TRUE(PruneStaleEndpoints(outdated).empty());
  EXPECT_TRUE(std::filesystem::exists(socket));
  EXPECT_FALSE(std::filesystem::exists(dir / "2147480051.Foreign.lock"));
  server->Shutdown();
}

// A listing that took the locks itself, even for an instant, would make a
// host that opens at that moment fail as if another host served the endpoint.
TEST(EndpointListing, NeverMakesAHostFailToOpen) {
  PrivatePipeDir pipes;
  std::atomic<bool> done{false};
  std::atomic<int> listings{0};
  std::thread lister([&] {
    while (!done) {
      EndpointListing listing = ListEndpoints(200ms);
      PruneStaleEndpoints(listing);  // only stale ones; the host is never one
      ++listings;
    }
  });
  int failures = 0;
  std::string firstFailure;
  for (int round = 0; round < 150; ++round) {
    NamedPipeServiceHost host(std::make_shared<FakeLauncher>(), 43, "Busy");
    host.AddServiceEndpoint(TypeOf<Contracts::Service::IApplicationLauncher>());
    try {
      host.Open();
      host.Close();
    } catch (const std::exception& e) {
      if (failures++ == 0) firstFailure = e.what();
    }
  }
  done = true;
  lister.join();
  EXPECT_EQ(failures, 0) << firstFailure;
  EXPECT_GT(listings.load(), 0);
}

}  // namespace
}  // namespace Norv::ServiceModel
