// norvctl monitor: what it shows of calls made and served by other
// processes, and that a monitor which stops reading or dies slows no call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "services/NamedPipeServiceHost.h"
#include "tests/pipes/TestServices.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

using ServiceModel::NamedPipeServiceHost;
using ::testing::HasSubstr;

constexpr std::chrono::milliseconds kDeadline{20000};

// Reads `child`'s lines until every one of `wanted` is found in some line
// (each a list of substrings that must all be in that line), or the output
// ends; returns the lines read. Each one never found is a failure.
std::string ReadUntilSeen(ChildProcess& child,
                          const std::vector<std::vector<std::string>>& wanted) {
  std::vector<bool> seen(wanted.size(), false);
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (std::count(seen.begin(), seen.end(), false) != 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::optional<std::string> line = child.ReadLine(kDeadline);
    if (!line) break;
    text += *line + "\n";
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      bool all = true;
      for (const std::string& part : wanted[i]) all = all && line->find(part) != std::string::npos;
      seen[i] = seen[i] || all;
    }
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (!seen[i]) ADD_FAILURE() << "no line holds all of: " << ::testing::PrintToString(wanted[i]);
  }
  return text;
}

std::string Quoted(const std::string& key, const std::string& value) {
  return "\"" + key + "\":\"" + value + "\"";
}
std::string Number(const std::string& key, long value) {
  return "\"" + key + "\":" + std::to_string(value) + ",";
}

TEST(MonitorCliTest, ShowsABridgeCallAndAShutdownWalkOfOtherProcesses) {
  PrivatePipeDir pipes;
  TempDir dir;
  const std::string db = (dir.Path() / "demo.db").string();
  ChildProcess create(
      {NORVCTL, "project", "create-demo", db, "--admin-password", "adm", "--weak-hashes"});
  ASSERT_EQ(create.Finish(kDeadline), 0);
  const int dataPid = ::getpid() + 200000;
  const int shutdownPid = ::getpid() + 300000;
  ChildProcess server(
      {NORVCTL, "serve", "data-service", "--db", db, "--pid", std::to_string(dataPid)});
  ASSERT_THAT(ReadUntilSeen(server, {{"stop with"}}), HasSubstr("stop with"));

  ChildProcess json({NORVCTL, "monitor", "--json"});
  ASSERT_THAT(json.ReadLine(kDeadline).value_or(""), HasSubstr("{\"attached\":"));
  ChildProcess table({NORVCTL, "monitor", "--pid", std::to_string(dataPid)});
  ASSERT_THAT(table.ReadLine(kDeadline).value_or(""), HasSubstr("attached: "));
  ASSERT_THAT(table.ReadLine(kDeadline).value_or(""), HasSubstr("OPERATION"));

  // The caller's name is its executable's: one with a quote, a blank, a
  // control byte and a byte that is no UTF-8 must come out escaped, never
  // raw, and must not cost the monitor the event.
  const std::filesystem::path oddName = dir.Path() / "q\"ctl x\x01\xff";
  std::filesystem::create_symlink(NORVCTL, oddName);
  ChildProcess caller({oddName.string(), "data", "is-admin", "--pid", std::to_string(dataPid),
                       "--project", "demo", "--user", "admin", "--password-stdin"});
  caller.WriteLine("adm");
  ASSERT_EQ(caller.Finish(kDeadline), 0);
  EXPECT_THAT(caller.Out(), HasSubstr("yes"));

  std::string seen = ReadUntilSeen(
      json, {{Quoted("side", "client"), Quoted("operation", "IsProjectAdmin"),
              Number("caller_pid", caller.Pid()), "\"caller\":\"q\\\"ctl x\\u0001\\u00ff\"",
              Number("callee_pid", dataPid), Quoted("status", "ok")},
             {Quoted("side", "host"), Quoted("operation", "IsProjectAdmin"),
              Number("reporter_pid", server.Pid()), Number("caller_pid", caller.Pid()),
              Quoted("status", "ok")}});
  EXPECT_THAT(seen, HasSubstr("\"request_bytes\":"));
  EXPECT_THAT(seen, ::testing::Not(HasSubstr("\"request_bytes\":0,")));
  EXPECT_THAT(ReadUntilSeen(table, {{"client", "IsProjectAdmin", "q\"ctl\\x20x\\x01\\xff"}}),
              HasSubstr("q\"ctl\\x20x\\x01\\xff"));

  // A shutdown walk: the session, its Subscribe, the refused request (seen
  // by both ends), and the end of the session when the host stops.
  ChildProcess host({NORVCTL, "shutdown", "host", "--pid", std::to_string(shutdownPid)});
  ASSERT_EQ(host.ReadLine(), "start: process " + std::to_string(shutdownPid));
  ChildProcess subscriber({NORVCTL, "shutdown", "subscribe", "--pid", std::to_string(shutdownPid),
                           "--key", "5", "--answer", "no"});
  ASSERT_THAT(subscriber.ReadLine().value_or(""), HasSubstr("subscribed: "));
  host.WriteLine("request");
  EXPECT_EQ(host.ReadLine(), "request: false");
  host.WriteLine("quit");
  EXPECT_EQ(host.Finish(kDeadline), 0);
  const std::string callee = Number("callee_pid", shutdownPid);
  const std::string walk = ReadUntilSeen(
      json, {{Quoted("kind", "session-start"), callee, Quoted("endpoint", "Shutdown")},
             {Quoted("kind", "session-call"), callee, Quoted("operation", "Subscribe")},
             {Quoted("kind", "callback"), callee, Quoted("operation", "RequestShutdown"),
              Quoted("answer", "refused")},
             {Quoted("kind", "callback"), Quoted("side", "host"),
              Number("caller_pid", subscriber.Pid()), callee, Quoted("answer", "refused")},
             {Quoted("kind", "session-end"), callee, Quoted("status", "host-closed")},
             {Quoted("kind", "session-end"), Quoted("side", "host"), callee,
              Quoted("status", "host-closed")}});
  EXPECT_THAT(walk, HasSubstr(Quoted("answer", "refused")));
  EXPECT_THAT(walk, HasSubstr(Quoted("status", "host-closed")));
  EXPECT_EQ(subscriber.Finish(kDeadline), 3);

  json.Signal(SIGTERM);
  EXPECT_EQ(json.Finish(kDeadline), 0);
  EXPECT_THAT(json.Out(), HasSubstr("\"dropped_total\":0}"));
  table.Signal(SIGTERM);
  EXPECT_EQ(table.Finish(kDeadline), 0);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Finish(kDeadline), 0);
}

// A monitor that stops reading loses events, never slows a call: calls go
// on while it is stopped, and once it reads again it hears how many it
// lost. One that dies is forgotten, its socket removed.
TEST(MonitorCliTest, AMonitorThatStopsReadingOrDiesStallsNoCall) {
  PrivatePipeDir pipes;
  const int pid = ::getpid() + 200000;
  auto service = std::make_shared<FakeDataService>();
  NamedPipeServiceHost host(service, pid, "Watched");
  host.AddServiceEndpoint(ServiceModel::TypeOf<IDataService>());
  host.Open();
  const ServiceString admin(u"admin");
  auto call = [&] {
    return NamedPipeServiceHost::GetSingleChannel<IDataService>(pid, "Watched")
        ->IsProjectAdmin(admin, admin, admin);
  };

  ChildProcess monitor({NORVCTL, "monitor", "--json", "--endpoint", "Watched"});
  const std::string attached = monitor.ReadLine(kDeadline).value_or("");
  ASSERT_THAT(attached, HasSubstr("{\"attached\":"));
  ASSERT_TRUE(call());
  ASSERT_THAT(ReadUntilSeen(monitor, {{"IsProjectAdmin"}}), HasSubstr("IsProjectAdmin"));

  monitor.Signal(SIGSTOP);
  // Events leave in one datagram about every 10 ms, and a socket queues a
  // few (net.unix.max_dgram_qlen): calls for half a second overflow it.
  int calls = 0;
  int answered = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (; calls < 200 || std::chrono::steady_clock::now() < until; ++calls) {
    answered += call() ? 1 : 0;
  }
  EXPECT_EQ(answered, calls);
  // Past the last flush, so that no event is left to carry the count.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  monitor.Signal(SIGCONT);
  // The events queued before the monitor stopped come first, then the
  // count, with no further call.
  long lost = 0;
  const std::regex droppedField("\"dropped\":([0-9]+)");
  while (std::optional<std::string> line = monitor.ReadLine(kDeadline)) {
    std::smatch match;
    if (std::regex_search(*line, match, droppedField)) lost += std::stol(match[1]);
    if (lost > 0) break;
  }
  // Whatever the stopped monitor's queue held got through; the rest is counted.
  EXPECT_GT(lost, 0);
  EXPECT_LE(lost, 2 * calls);

  const std::filesystem::path monitors = pipes.Path() / "pipes" / "monitors";
  ASSERT_FALSE(std::filesystem::is_empty(monitors));
  monitor.Signal(SIGKILL);
  monitor.Wait();
  // The first events sent after its death find nobody reading and remove it.
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!std::filesystem::is_empty(monitors) && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(call());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(std::filesystem::is_empty(monitors));
  host.Close();
}

}  // namespace
}  // namespace Norv::Testing
