// Client channels against real hosts: values and nulls on the wire, faults,
// the failures a caller can meet, the item limit, and host lifecycle rules.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/pipes/HostTesting.h"
#include "tests/pipes/TestServices.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::ChildProcess;
using Norv::Testing::FakeDataService;
using Norv::Testing::FakeLauncher;
using Norv::Testing::IApplicationLauncher;
using Norv::Testing::IDataService;
using Norv::Testing::PeerArgv;
using Norv::Testing::PrivatePipeDir;
using Norv::Testing::Data::DateTimeResultSet;
using Norv::Testing::Data::DoubleResultSet;
using Norv::Testing::Data::StringResultSet;
using ::testing::AllOf;
using ::testing::HasSubstr;

constexpr std::int32_t kPid = 4242;
const std::string kDataEndpoint(IDataService::kContractName);

class ChannelsTest : public ::testing::Test {
 protected:
  ChannelsTest() : saved_(NamedPipeServiceHost::GetTimeouts()) {}
  ~ChannelsTest() override { NamedPipeServiceHost::SetTimeouts(saved_); }

  std::unique_ptr<NamedPipeServiceHost> OpenDataHost(std::shared_ptr<FakeDataService> service,
                                                     std::int32_t maxItems = -1) {
    auto host = std::make_unique<NamedPipeServiceHost>(service, kPid, kDataEndpoint);
    host->AddServiceEndpoint(TypeOf<IDataService>());
    if (maxItems >= 0) SetMaxItemsInObjectGraph(host->Description(), maxItems);
    host->Open();
    return host;
  }

  std::shared_ptr<IDataService> DataChannel() {
    return NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, TypeOf<IDataService>());
  }

  PrivatePipeDir dir_;
  Timeouts saved_;
};

TEST_F(ChannelsTest, NobodyListeningFailsAtOnceNamingTheCall) {
  // A connect time-out long enough that waiting it out would hit the test's
  // own time limit instead of passing.
  NamedPipeServiceHost::SetTimeouts(
      {std::chrono::minutes(30), std::chrono::minutes(30), std::chrono::seconds(5)});
  auto launcher =
      NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(kPid, "ApplicationLauncher");
  try {
    launcher->LaunchTrasko();
    FAIL() << "a call with nobody listening returned";
  } catch (const EndpointNotFoundException& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr("process 4242, endpoint ApplicationLauncher, "
                                          "operation LaunchTrasko: nobody is listening")));
  }
  // A stale socket file (its server died without removing it) is the same.
  std::filesystem::create_directories(dir_.Path() / "pipes");
  std::filesystem::permissions(dir_.Path() / "pipes", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  std::string stale = (dir_.Path() / "pipes" / "4242.ApplicationLauncher.sock").string();
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, stale.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);
  EXPECT_THROW(launcher->LaunchTrasko(), EndpointNotFoundException);
}

TEST_F(ChannelsTest, ValuesAndNullsCrossTheWire) {
  auto service = std::make_shared<FakeDataService>();
  service->authors = std::vector<ServiceString>{ServiceString(), u"", u"Ann \u00e9\U0001D11E"};
  service->life = DateTime{2011, 3, 7, 23, 59, 1, 5};
  service->doubles = {{DoubleResultSet(1, 2.5), std::nullopt, DoubleResultSet(3, -1e300)}};
  service->dates = {{std::nullopt, DateTimeResultSet(9, DateTime{9999, 12, 31, 0, 0, 0, 0})}};
  service->ids = std::nullopt;
  service->templates = {
      {StringResultSet(1, ServiceString()), std::nullopt, StringResultSet(2, u"")}};
  auto host = OpenDataHost(service);
  auto channel = DataChannel();

  channel->LogOn(u"p", ServiceString(), u"", u"a");
  ASSERT_EQ(service->logOnArguments.size(), 4u);
  EXPECT_EQ(service->logOnArguments[0], ServiceString(u"p"));
  EXPECT_TRUE(service->logOnArguments[1].IsNull());
  EXPECT_FALSE(service->logOnArguments[2].IsNull());
  EXPECT_TRUE(service->logOnArguments[2].Units().empty());
  // The operation knows its caller from the kernel: this very process.
  EXPECT_EQ(service->logOnPeer.pid, ::getpid());
  EXPECT_EQ(service->logOnPeer.uid, ::getuid());
  EXPECT_EQ(service->logOnPeer.processName, "pipes_channels_");

  EXPECT_TRUE(channel->IsProjectAdmin(u"admin", u"u", u"p"));
  EXPECT_FALSE(channel->IsProjectAdmin(u"other", u"u", u"p"));
  EXPECT_TRUE(channel->IsUserRestricted(u"", u"", u""));
  EXPECT_FALSE(channel->IsDatabaseCanBeConnected(u"", u"", u""));
  EXPECT_EQ(channel->GetAuthors(u"", u"", u""), service->authors);
  EXPECT_EQ(channel->GetForecastEUR(u"", u"", u"", 21, u"t", u"a"), 42.0);
  EXPECT_EQ(channel->GetForecastReserve(u"", u"", u"", 3, u"t", u"a"), 1.5);
  EXPECT_EQ(channel->GetForecastLife(u"", u"", u"", 1, u"t", u"a"), service->life);
  EXPECT_EQ(channel->GetForecastEURList(u"", u"", u"", u"f", u"a"), service->doubles);
  EXPECT_EQ(channel->GetForecastReserveList(u"", u"", u"", u"f", u"a"), service->doubles);
  EXPECT_EQ(channel->GetForecastLifeList(u"", u"", u"", u"f", u"a"), service->dates);
  EXPECT_EQ(channel->GetBoreholeIdsWithForecast(u"", u"", u"", u"t", u"a"), std::nullopt);
  EXPECT_EQ(channel->GetForecastTemplatesByAuthor(u"", u"", u"", u"a"), service->templates);

  // A null collection and an empty one stay apart.
  host->Close();
  service->ids = std::vector<std::int32_t>{};
  service->authors = std::nullopt;
  host->Open();
  EXPECT_EQ(channel->GetBoreholeIdsWithForecast(u"", u"", u"", u"t", u"a"),
            std::vector<std::int32_t>{});
  EXPECT_EQ(channel->GetAuthors(u"", u"", u""), std::nullopt);
}

TEST_F(ChannelsTest, FaultTextReachesTheCaller) {
  auto service = std::make_shared<FakeDataService>();
  service->fault = "project C:\\x is locked by Ann";
  auto host = OpenDataHost(service);
  try {
    DataChannel()->LogOn(u"", u"", u"", u"");
    FAIL() << "the fault did not reach the caller";
  } catch (const FaultException& e) {
    EXPECT_EQ(e.Reason(), "project C:\\x is locked by Ann");
    EXPECT_THAT(e.what(), HasSubstr("process 4242, endpoint " + kDataEndpoint +
                                    ", operation LogOn: the service raised a fault: project "
                                    "C:\\x is locked by Ann"));
  }
  // The connection survives a fault.
  EXPECT_TRUE(DataChannel()->IsProjectAdmin(u"admin", u"", u""));

  auto launcher = std::make_shared<FakeLauncher>();
  NamedPipeServiceHost launcherHost(launcher, kPid, "ApplicationLauncher");
  launcherHost.AddServiceEndpoint(TypeOf<IApplicationLauncher>());
  launcherHost.Open();
  auto channel =
      NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(kPid, "ApplicationLauncher");
  channel->LaunchTrasko();
  EXPECT_EQ(launcher->launches, 1);
  EXPECT_THROW(channel->LaunchWendal(), FaultException);
}

TEST_F(ChannelsTest, RestartedServerIsReachedByTheNextCall) {
  auto service = std::make_shared<FakeDataService>();
  auto channel = DataChannel();
  for (int round = 0; round < 5; ++round) {
    auto host = OpenDataHost(service);
    EXPECT_TRUE(channel->IsProjectAdmin(u"admin", u"", u"")) << "round " << round;
    host->Close();
    EXPECT_THROW(channel->IsProjectAdmin(u"admin", u"", u""), EndpointNotFoundException);
  }
  // Also without a failed call in between.
  auto first = OpenDataHost(service);
  EXPECT_TRUE(channel->IsProjectAdmin(u"admin", u"", u""));
  first->Close();
  auto second = OpenDataHost(service);
  EXPECT_TRUE(channel->IsProjectAdmin(u"admin", u"", u""));
}

// A service restarted on the endpoint behind a connection the client has
// cached (in another process, as in production, so that nothing in this
// process notices the old connection close unless a call is under way). A
// call made while the new host listens never reached the old one and must
// reach the new one; no call may be served twice. In odd rounds the caller
// is idle during the restart and its first call afterwards meets the dead
// connection; in even rounds it calls throughout, so calls are in flight as
// the old host closes.
TEST_F(ChannelsTest, CallsDuringRestartsReachTheListenerThereNowAndRunOnce) {
  constexpr int kRestarts = 200;
  ChildProcess peer(PeerArgv({"restart", std::to_string(kPid), kDataEndpoint}));
  ASSERT_EQ(peer.ReadLine(), "ready");
  // 0 while the peer may be restarting, else the number of the host that
  // listens: cleared before a restart is asked for and set once the peer
  // says the new host is up, so a call that reads the same non-zero number
  // before and after ran while that host was up.
  std::atomic<int> listening{1};
  std::atomic<int> calledIn{0};  // the last round with a successful call
  std::atomic<bool> done{false};
  std::vector<std::string> failuresWhileUp;
  std::set<std::int32_t> succeeded;
  int longestClose = 0;  // milliseconds
  std::thread caller([&] {
    auto channel = DataChannel();
    for (std::int32_t id = 1; !done;) {
      const int before = listening;
      const bool quiet = before % 2 == 1 || (before == 0 && calledIn % 2 == 1);
      if (quiet && (before == 0 || calledIn == before)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      try {
        EXPECT_EQ(channel->GetForecastEUR(u"", u"", u"", id, u"", u""), id * 2.0);
        succeeded.insert(id);
        if (before != 0) calledIn = before;
      } catch (const CommunicationException& e) {
        if (before != 0 && before == listening) {
          failuresWhileUp.push_back("host " + std::to_string(before) + ": " + e.what());
        }
      }
      ++id;
    }
  });
  for (int round = 2; round <= kRestarts + 1; ++round) {
    // Let the caller reach this host, so that the restart is one its cached
    // connection has to survive.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (calledIn != round - 1 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    listening = 0;
    peer.WriteLine("restart");
    const std::string up = peer.ReadLine().value_or("");
    ASSERT_THAT(up, ::testing::StartsWith("up "));
    longestClose = std::max(longestClose, std::stoi(up.substr(3)));
    listening = round;
  }
  done = true;
  caller.join();
  peer.CloseInput();
  const std::string report = peer.ReadLine().value_or("");
  ASSERT_THAT(report, ::testing::StartsWith("served"));

  EXPECT_THAT(failuresWhileUp, ::testing::IsEmpty()) << failuresWhileUp.size() << " calls failed";
  // A close waits for calls in progress, not for an idle client to notice:
  // none may take the whole two-second grace.
  EXPECT_LT(longestClose, 2000);
  EXPECT_GE(succeeded.size(), static_cast<std::size_t>(kRestarts));
  std::map<std::int32_t, int> served;
  std::istringstream entries(report.substr(std::strlen("served")));
  for (std::string entry; entries >> entry;) {
    served[std::stoi(entry)] = std::stoi(entry.substr(entry.find(':') + 1));
  }
  for (const auto& [id, times] : served) {
    EXPECT_EQ(times, 1) << "call " << id << " was served " << times << " times";
  }
  for (std::int32_t id : succeeded) {
    EXPECT_EQ(served.count(id), 1u) << "call " << id << " succeeded unserved";
  }
}

TEST_F(ChannelsTest, PeerKilledDuringACallIsACommunicationFailure) {
  ChildProcess peer(PeerArgv({"serve", std::to_string(kPid), kDataEndpoint}));
  ASSERT_EQ(peer.ReadLine(), "ready");
  auto call = std::async(std::launch::async,
                         [&] { return DataChannel()->GetForecastEUR(u"", u"", u"", 1, u"", u""); });
  ASSERT_EQ(peer.ReadLine(), "in-call");
  peer.Kill();
  try {
    call.get();
    FAIL() << "the call returned although its peer was killed";
  } catch (const FaultException& e) {
    FAIL() << "a dead peer was reported as a fault: " << e.what();
  } catch (const TimeoutException& e) {
    FAIL() << "a dead peer was reported as a time-out: " << e.what();
  } catch (const CommunicationException& e) {
    EXPECT_THAT(e.what(), HasSubstr("operation GetForecastEUR"));
  }
  // Its socket file stays behind; nobody listens on it.
  EXPECT_THROW(DataChannel()->IsProjectAdmin(u"", u"", u""), EndpointNotFoundException);
  // And a new host takes the stale endpoint over.
  auto host = OpenDataHost(std::make_shared<FakeDataService>());
  EXPECT_TRUE(DataChannel()->IsProjectAdmin(u"admin", u"", u""));
}

TEST_F(ChannelsTest, ItemLimitBoundsEachReply) {
  auto service = std::make_shared<FakeDataService>();
  constexpr std::int32_t kDefault =
      DataContractSerializerOperationBehavior::kDefaultMaxItemsInObjectGraph;
  std::vector<std::optional<DoubleResultSet>> records(kDefault);
  service->doubles = records;
  {
    auto host = OpenDataHost(service);
    EXPECT_EQ(DataChannel()->GetForecastEURList(u"", u"", u"", u"", u"")->size(), records.size());
  }
  records.emplace_back(DoubleResultSet(1, 1.0));
  service->doubles = records;
  {
    auto host = OpenDataHost(service);
    try {
      DataChannel()->GetForecastEURList(u"", u"", u"", u"", u"");
      FAIL() << "a reply over the item limit passed";
    } catch (const QuotaExceededException& e) {
      EXPECT_THAT(e.what(), HasSubstr("operation GetForecastEURList"));
      EXPECT_THAT(e.what(), HasSubstr("65537 list items, more than the 65536"));
    }
  }
  // A host that raises the limit passes a reply far beyond gRPC's 4 MB default.
  records.assign(1'000'000, DoubleResultSet(7, 0.25));
  service->doubles = records;
  auto host = OpenDataHost(service, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(DataChannel()->GetForecastEURList(u"", u"", u"", u"", u""), service->doubles);
}

TEST_F(ChannelsTest, OpenRefusesAnEndpointInUseAndTakesOverAStaleOne) {
  auto service = std::make_shared<FakeDataService>();
  auto first = OpenDataHost(service);
  NamedPipeServiceHost second(service, kPid, kDataEndpoint);
  second.AddServiceEndpoint(TypeOf<IDataService>());
  try {
    second.Open();
    FAIL() << "a second host opened a live endpoint";
  } catch (const AddressAlreadyInUseException& e) {
    EXPECT_THAT(e.what(), HasSubstr("another live host already serves this endpoint"));
  }
  // The first host still serves.
  EXPECT_TRUE(DataChannel()->IsProjectAdmin(u"admin", u"", u""));
  first->Close();
  second.Open();
  EXPECT_TRUE(DataChannel()->IsProjectAdmin(u"admin", u"", u""));
}

TEST_F(ChannelsTest, DescriptionListsEndpointsOperationsAndBehaviours) {
  auto service = std::make_shared<FakeDataService>();
  NamedPipeServiceHost host(service, kPid, "Described");
  host.AddServiceEndpoint(TypeOf<IDataService>());
  host.AddMexServiceEndpoint();
  EXPECT_THROW(host.AddServiceEndpoint(TypeOf<IDataService>()), std::invalid_argument);
  EXPECT_THROW(host.AddServiceEndpoint(TypeOf<IApplicationLauncher>()), std::invalid_argument);
  auto& endpoints = host.Description().Endpoints();
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(endpoints[0]->Contract().Name(), kDataEndpoint);
  EXPECT_EQ(endpoints[0]->Contract().Operations().size(), 13u);
  EXPECT_EQ(endpoints[0]->Contract().Operations()[8].Name(), "GetForecastEURList");
  EXPECT_THAT(endpoints[0]->Address(), HasSubstr("4242.Described.sock"));
  EXPECT_EQ(endpoints[1]->Contract().Name(), "IMetadataExchange");
  for (const auto& endpoint : endpoints) {
    for (const auto& operation : endpoint->Contract().Operations()) {
      ASSERT_EQ(operation.Behaviors().size(), 1u) << operation.Name();
      auto* serializer =
          dynamic_cast<DataContractSerializerOperationBehavior*>(operation.Behaviors()[0].get());
      ASSERT_NE(serializer, nullptr);
      EXPECT_EQ(serializer->MaxItemsInObjectGraph(), 65536);
    }
  }
  host.Open();
  EXPECT_THROW(host.AddMexServiceEndpoint(), std::logic_error);
  auto channel = NamedPipeServiceHost::GetSingleChannel<IDataService>(kPid, "Described");
  EXPECT_TRUE(channel->IsProjectAdmin(u"admin", u"", u""));
}

TEST_F(ChannelsTest, InjectedStepFailuresLeaveNothingBehind) {
  auto service = std::make_shared<FakeDataService>();
  testing::SetHostStepFails(testing::HostStep::kConstruct, true);
  EXPECT_THROW(NamedPipeServiceHost(service, kPid, kDataEndpoint), CommunicationException);
  testing::SetHostStepFails(testing::HostStep::kConstruct, false);

  NamedPipeServiceHost host(service, kPid, kDataEndpoint);
  testing::SetHostStepFails(testing::HostStep::kAddEndpoint, true);
  EXPECT_THROW(host.AddServiceEndpoint(TypeOf<IDataService>()), CommunicationException);
  testing::SetHostStepFails(testing::HostStep::kAddEndpoint, false);
  host.AddServiceEndpoint(TypeOf<IDataService>());

  testing::SetHostStepFails(testing::HostStep::kOpen, true);
  EXPECT_THROW(host.Open(), CommunicationException);
  testing::SetHostStepFails(testing::HostStep::kOpen, false);
  EXPECT_THROW(DataChannel()->IsProjectAdmin(u"", u"", u""), EndpointNotFoundException);

  host.Open();
  testing::SetHostStepFails(testing::HostStep::kClose, true);
  EXPECT_THROW(host.Close(), CommunicationException);
  testing::SetHostStepFails(testing::HostStep::kClose, false);
  // The failing Close still stopped listening and freed the endpoint.
  EXPECT_THROW(DataChannel()->IsProjectAdmin(u"", u"", u""), EndpointNotFoundException);
  auto again = OpenDataHost(service);
  EXPECT_TRUE(DataChannel()->IsProjectAdmin(u"admin", u"", u""));
}

// A listening socket at the endpoint's path that is not a gRPC server: it
// either writes garbage and hangs up, or never answers at all.
class FakePeer {
 public:
  FakePeer(const std::filesystem::path& dir, bool garbage) : garbage_(garbage) {
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    std::string path =
        (dir / "4242.Norv.ServiceModel.Contracts.Service.IDataService.sock").string();
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ::unlink(path.c_str());
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 64) != 0) {
      throw std::runtime_error("cannot listen on " + path);
    }
    if (garbage_) thread_ = std::thread([this] { Serve(); });
  }
  ~FakePeer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

 private:
  void Serve() {
    for (;;) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      const char junk[] = "HTTP/1.1 400 Bad Request\r\n\r\n\x00\xff\xfe garbage";
      ::send(fd, junk, sizeof(junk), MSG_NOSIGNAL);
      ::close(fd);
    }
  }

  bool garbage_;
  int listener_ = -1;
  std::thread thread_;
};

TEST_F(ChannelsTest, PeersThatDoNotSpeakTheProtocolFailCleanly) {
  NamedPipeServiceHost::SetTimeouts(
      {std::chrono::milliseconds(300), std::chrono::seconds(60), std::chrono::seconds(5)});
  {
    FakePeer garbage(dir_.Path() / "pipes", /*garbage=*/true);
    try {
      DataChannel()->IsProjectAdmin(u"", u"", u"");
      FAIL() << "a garbage peer produced an answer";
    } catch (const TimeoutException& e) {
      // gRPC may keep retrying the handshake until the connect time-out.
      EXPECT_THAT(e.what(), HasSubstr("operation IsProjectAdmin"));
    } catch (const CommunicationException& e) {
      EXPECT_THAT(e.what(), HasSubstr("operation IsProjectAdmin"));
    }
  }
  {
    FakePeer silent(dir_.Path() / "pipes", /*garbage=*/false);
    try {
      DataChannel()->IsProjectAdmin(u"", u"", u"");
      FAIL() << "a silent peer produced an answer";
    } catch (const TimeoutException& e) {
      EXPECT_THAT(e.what(), HasSubstr("could not connect"));
    }
  }
}

TEST_F(ChannelsTest, CallTimeOutIsATimeout) {
  auto service = std::make_shared<FakeDataService>();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  service->onForecast = [released] { released.wait(); };
  auto host = OpenDataHost(service);
  NamedPipeServiceHost::SetTimeouts(
      {std::chrono::seconds(5), std::chrono::milliseconds(100), std::chrono::seconds(5)});
  EXPECT_THROW(DataChannel()->GetForecastEUR(u"", u"", u"", 1, u"", u""), TimeoutException);
  release.set_value();
}

}  // namespace
}  // namespace Norv::ServiceModel
