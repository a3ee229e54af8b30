// norvctl endpoints and --prune against real hosts: a shutdown host, a
// reference data service and a reference launcher, each a norvctl process of
// its own, plus files a test plants the way a dead or misbehaving host
// leaves them.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "services/NamedPipeServiceHost.h"
#include "tests/pipes/TestServices.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// A child process with its standard input on a pipe (open until Finish) and
// its standard error on a pipe of its own.
std::unique_ptr<ChildProcess> Start(std::vector<std::string> argv) {
  return std::make_unique<ChildProcess>(
      std::move(argv), ChildProcess::Options{.errors = ChildProcess::ErrorStream::kPipe});
}

// One endpoint of the listing, as the JSON reader printed it.
struct Row {
  std::string process, state, lock, answers, health, services, problem;
};

struct Parsed {
  std::string directory;
  std::map<std::string, Row> rows;  // by "<pid>.<endpoint>"
  std::vector<std::string> removed;
  // "<pid>.<endpoint>" to its clients' and subscribers' lines, fields joined
  // by spaces: "<pid> <process>", "<key> <pid> <process> <connected> <answer>".
  std::multimap<std::string, std::string> clients, subscribers;
};

Parsed ParseJson(const std::string& json) {
  std::unique_ptr<ChildProcess> reader = Start({NORV_PYTHON3, NORV_ENDPOINTS_JSON_SCRIPT});
  reader->Write(json);
  int code = reader->Finish();
  if (code != 0)
    throw std::runtime_error("the JSON does not parse: " + reader->Err() + "\n" + json);
  Parsed parsed;
  std::istringstream lines(reader->Out());
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() == 2 && f[0] == "directory") parsed.directory = f[1];
    if (f.size() == 2 && f[0] == "removed") parsed.removed.push_back(f[1]);
    if (f.size() == 5 && f[0] == "client") {
      parsed.clients.emplace(f[1] + "." + f[2], f[3] + " " + f[4]);
    }
    if (f.size() == 8 && f[0] == "subscriber") {
      parsed.subscribers.emplace(f[1] + "." + f[2],
                                 f[3] + " " + f[4] + " " + f[5] + " " + f[6] + " " + f[7]);
    }
    if (f.size() == 10 && f[0] == "endpoint") {
      parsed.rows[f[1] + "." + f[3]] = Row{f[2], f[4], f[5], f[6], f[7], f[8], f[9]};
    }
  }
  return parsed;
}

std::string Key(pid_t pid, const std::string& endpoint) {
  return std::to_string(pid) + "." + endpoint;
}

// A socket file at `path` that nothing accepts on, as a killed host leaves it.
void LeaveDeadSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << path;
  ::close(fd);
}

class NorvctlEndpointsTest : public ::testing::Test {
 protected:
  fs::path Dir() const { return fs::path(std::getenv("NORV_PIPE_DIR")); }

  int Run(const std::vector<std::string>& args) {
    std::vector<std::string> full = {NORV_NORVCTL};
    full.insert(full.end(), args.begin(), args.end());
    std::unique_ptr<ChildProcess> child = Start(full);
    int code = child->Finish();
    out_ = child->Out();
    err_ = child->Err();
    return code;
  }

  Parsed List(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"endpoints", "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(Run(args), 0) << err_;
    return ParseJson(out_);
  }

  std::unique_ptr<ChildProcess> ServeDataService() {
    std::string db = (files_.Path() / "project.db").string();
    if (!fs::exists(db)) {
      EXPECT_EQ(Run({"project", "create-demo", db}), 0) << err_;
    }
    auto child = Start({NORV_NORVCTL, "serve", "data-service", "--db", db});
    EXPECT_THAT(child->ReadLine().value_or(""), HasSubstr("serving"));
    return child;
  }

  std::unique_ptr<ChildProcess> ServeLauncher() {
    auto child = Start({NORV_NORVCTL, "serve", "launcher", "--trasko", "true", "--wendal", "true",
                        "--orbisk", "true"});
    EXPECT_THAT(child->ReadLine().value_or(""), HasSubstr("serving ApplicationLauncher"));
    return child;
  }

  std::unique_ptr<ChildProcess> ShutdownHost() {
    auto child = Start({NORV_NORVCTL, "shutdown", "host"});
    EXPECT_THAT(child->ReadLine().value_or(""), HasSubstr("start: process"));
    return child;
  }

  PrivatePipeDir pipes_;
  TempDir files_;
  std::string out_, err_;
};

constexpr const char* kDataEndpoint = "Norv.ServiceModel.Contracts.Service.IDataService";

TEST_F(NorvctlEndpointsTest, ListsLiveHostsWithTheirProcessLockHealthAndServices) {
  auto shutdown = ShutdownHost();
  auto data = ServeDataService();
  auto launcher = ServeLauncher();

  Parsed listing = List();
  EXPECT_EQ(listing.directory, Dir().string());
  ASSERT_EQ(listing.rows.size(), 3u) << out_;

  const Row& host = listing.rows[Key(shutdown->Pid(), "Shutdown")];
  EXPECT_EQ(host.process, "norvctl");
  EXPECT_EQ(host.state, "live");
  EXPECT_EQ(host.lock, "held");
  EXPECT_EQ(host.answers, "answers");
  EXPECT_EQ(host.health, "SERVING");
  EXPECT_EQ(host.services,
            "grpc.health.v1.Health,grpc.reflection.v1alpha.ServerReflection,"
            "norv.contracts.v1.Introspection,norv.contracts.v1.Shutdown");

  const Row& service = listing.rows[Key(data->Pid(), kDataEndpoint)];
  EXPECT_EQ(service.state, "live");
  EXPECT_EQ(service.lock, "held");
  EXPECT_EQ(service.health, "SERVING");
  EXPECT_THAT(service.services, HasSubstr("norv.contracts.v1.DataService"));

  // The launcher offers no reflection: it answers the health service all the
  // same.
  const Row& launch = listing.rows[Key(launcher->Pid(), "ApplicationLauncher")];
  EXPECT_EQ(launch.state, "live");
  EXPECT_EQ(launch.answers, "answers");
  EXPECT_EQ(launch.health, "SERVING");
  EXPECT_EQ(launch.services, "-");

  // The table for people says the same.
  ASSERT_EQ(Run({"endpoints"}), 0) << err_;
  EXPECT_THAT(out_, HasSubstr("endpoint directory " + Dir().string()));
  for (pid_t pid : {shutdown->Pid(), data->Pid(), launcher->Pid()}) {
    EXPECT_THAT(
        out_, ::testing::ContainsRegex(std::to_string(pid) + " +norvctl +[^ ]+ +held +yes +live"));
  }
  EXPECT_THAT(out_, HasSubstr("norv.contracts.v1.Shutdown"));
  EXPECT_THAT(out_, HasSubstr("(no reflection)"));
}

TEST_F(NorvctlEndpointsTest, PruneRemovesWhatDeadHostsLeftAndNothingElse) {
  auto launcher = ServeLauncher();
  auto data = ServeDataService();
  const pid_t dead = data->Pid();
  data->Kill();
  const std::string deadSocket = (Dir() / (std::to_string(dead) + "." + kDataEndpoint + ".sock"));
  const std::string deadLock = (Dir() / (std::to_string(dead) + "." + kDataEndpoint + ".lock"));
  ASSERT_TRUE(fs::exists(deadSocket));

  // A socket without a lock file, a file that is no socket, and a socket
  // whose lock a live process holds while nothing listens (a host between
  // taking its lock and listening).
  const std::string orphan = (Dir() / "2147480001.Orphan.sock").string();
  LeaveDeadSocket(orphan);
  // A name that is not UTF-8 and holds JSON's special characters.
  const std::string odd = (Dir() / "2147480004.Odd%FF%22%5C.sock").string();
  LeaveDeadSocket(odd);
  const std::string notSocket = (Dir() / "2147480002.Plain.sock").string();
  { std::ofstream(notSocket) << "not a socket"; }
  const std::string heldSocket = (Dir() / "2147480003.Held.sock").string();
  const std::string heldLock = (Dir() / "2147480003.Held.lock").string();
  LeaveDeadSocket(heldSocket);
  int heldFd = ::open(heldLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(heldFd, 0);
  ASSERT_EQ(::flock(heldFd, LOCK_EX | LOCK_NB), 0);

  Parsed before = List();
  const Row& stale = before.rows[Key(dead, kDataEndpoint)];
  EXPECT_EQ(stale.state, "stale");
  EXPECT_EQ(stale.lock, "free");
  EXPECT_EQ(stale.answers, "silent");
  EXPECT_EQ(stale.process, "-");  // killed and reaped
  EXPECT_EQ(before.rows["2147480001.Orphan"].state, "stale");
  EXPECT_EQ(before.rows["2147480001.Orphan"].lock, "none");
  EXPECT_EQ(before.rows["2147480004.Odd\xEF\xBF\xBD\"\\"].state, "stale") << out_;
  EXPECT_EQ(before.rows["2147480002.Plain"].state, "unusable");
  EXPECT_EQ(before.rows["2147480003.Held"].state, "not-listening");
  EXPECT_EQ(before.rows["2147480003.Held"].lock, "held");
  EXPECT_EQ(before.rows[Key(launcher->Pid(), "ApplicationLauncher")].state, "live");

  Parsed pruned = List({"--prune"});
  EXPECT_THAT(pruned.removed, ::testing::UnorderedElementsAre(deadSocket, deadLock, orphan, odd));
  EXPECT_FALSE(fs::exists(deadSocket));
  EXPECT_FALSE(fs::exists(deadLock));
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_FALSE(fs::exists(Dir() / "2147480001.Orphan.lock"));  // the guard it took is gone too
  EXPECT_TRUE(fs::exists(notSocket));
  EXPECT_TRUE(fs::exists(heldSocket));
  EXPECT_TRUE(fs::exists(heldLock));
  ::close(heldFd);

  // The live launcher kept its files and still answers.
  Parsed after = List({"--prune"});
  EXPECT_EQ(after.removed.size(), 2u) << "only the Held pair, now that its lock is free";
  EXPECT_EQ(after.rows[Key(launcher->Pid(), "ApplicationLauncher")].state, "live");
  EXPECT_TRUE(fs::exists(Dir() / (std::to_string(launcher->Pid()) + ".ApplicationLauncher.sock")));
  EXPECT_TRUE(fs::exists(Dir() / (std::to_string(launcher->Pid()) + ".ApplicationLauncher.lock")));
  EXPECT_EQ(after.rows.count(Key(dead, kDataEndpoint)), 0u);
}

TEST_F(NorvctlEndpointsTest, ASocketThatAcceptsButNeverAnswersIsBoundedAndKept) {
  // Listens but never accepts: connect() succeeds through the backlog and
  // no HTTP/2 byte ever comes back.
  const std::string path = (Dir() / "2147480010.Silent.sock").string();
  fs::create_directories(Dir());
  fs::permissions(Dir(), fs::perms::owner_all, fs::perm_options::replace);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(fd, 16), 0);
  auto launcher = ServeLauncher();

  // Finish() kills a listing that outlives its limit: a hang fails here.
  std::unique_ptr<ChildProcess> listing =
      Start({NORV_NORVCTL, "endpoints", "--json", "--prune", "--timeout", "300"});
  ASSERT_EQ(listing->Finish(20s), 0) << listing->Err();
  Parsed parsed = ParseJson(listing->Out());
  const Row& silent = parsed.rows["2147480010.Silent"];
  EXPECT_EQ(silent.state, "unresponsive");
  EXPECT_EQ(silent.answers, "silent");
  EXPECT_THAT(silent.problem, HasSubstr("did not answer within 300 ms"));
  EXPECT_EQ(parsed.rows[Key(launcher->Pid(), "ApplicationLauncher")].state, "live");
  // Something accepts on it: never pruned.
  EXPECT_TRUE(parsed.removed.empty());
  EXPECT_TRUE(fs::exists(path));
  ::close(fd);
}

// The message of a host opening in `dir`, after its "process P, endpoint E: ".
std::string HostError(const std::string& dir) {
  ScopedEnv env("NORV_PIPE_DIR", dir);
  ServiceModel::NamedPipeServiceHost host(std::make_shared<RecordingShutdown>(), 77, "Probe");
  host.AddServiceEndpoint(ServiceModel::TypeOf<IShutdown>());
  try {
    host.Open();
  } catch (const ServiceModel::AddressAccessDeniedException& e) {
    std::string message = e.what();
    return message.substr(message.find(": ") + 2);
  }
  return "the host opened";
}

TEST_F(NorvctlEndpointsTest, ABadDirectoryGivesTheComponentsErrorAndIsLeftAlone) {
  // Stale files in it, which --prune would remove from a good directory.
  fs::path real = files_.Path() / "real";
  fs::create_directories(real);
  LeaveDeadSocket((real / "2147480020.Left.sock").string());
  { std::ofstream(real / "2147480020.Left.lock"); }
  fs::path link = files_.Path() / "link";
  fs::create_directory_symlink(real, link);

  struct Case {
    fs::path dir;
    fs::perms mode;
  };
  for (const Case& bad : {Case{real, fs::perms(0755)}, Case{link, fs::perms(0700)}}) {
    fs::permissions(real, bad.mode, fs::perm_options::replace);
    const std::string expected = HostError(bad.dir.string());
    ASSERT_THAT(expected, HasSubstr("the endpoint directory " + bad.dir.string()));
    ScopedEnv env("NORV_PIPE_DIR", bad.dir.string());
    for (const char* flag : {"--json", "--prune"}) {
      EXPECT_EQ(Run({"endpoints", flag}), 1) << bad.dir;
      EXPECT_THAT(err_, HasSubstr(expected)) << bad.dir;
      EXPECT_EQ(out_, "");
    }
    EXPECT_TRUE(fs::exists(real / "2147480020.Left.sock"));
    EXPECT_TRUE(fs::exists(real / "2147480020.Left.lock"));
    EXPECT_EQ(fs::status(real).permissions(), bad.mode);
  }

  // A missing directory is nobody running, and is not created.
  ScopedEnv missing("NORV_PIPE_DIR", (files_.Path() / "missing").string());
  Parsed none = List({"--prune"});
  EXPECT_TRUE(none.rows.empty());
  EXPECT_FALSE(fs::exists(files_.Path() / "missing"));
}

// A subscriber whose process name holds an escape character, seen through the
// host's introspection service; then a server that took the host's socket
// path over.
TEST_F(NorvctlEndpointsTest, ShowsClientsSubscribersAndATakeoverAsAConflict) {
  auto host = ShutdownHost();
  const std::string key = Key(host->Pid(), "Shutdown");
  // The kernel names a process after the file it ran.
  const fs::path odd = files_.Path() / "sub\x1b[2Jx";
  fs::create_symlink(NORV_NORVCTL, odd);
  auto refuser = Start({odd.string(), "shutdown", "subscribe", "--pid", std::to_string(host->Pid()),
                        "--key", "7", "--answer", "no"});
  ASSERT_THAT(refuser->ReadLine().value_or(""), HasSubstr("subscribed"));
  host->WriteLine("request");
  ASSERT_EQ(host->ReadLine().value_or(""), "request: false");

  Parsed listing = List();
  EXPECT_EQ(listing.rows[key].state, "live");
  const std::string who = std::to_string(refuser->Pid()) + " sub\x1b[2Jx";
  EXPECT_EQ(listing.subscribers.count(key), 1u) << out_;
  EXPECT_EQ(listing.subscribers.find(key)->second, "7 " + who + " connected refused") << out_;
  EXPECT_EQ(listing.clients.count(key), 1u) << out_;
  EXPECT_EQ(listing.clients.find(key)->second, who) << out_;
  EXPECT_THAT(out_, Not(HasSubstr("\x1b"))) << "the JSON escapes control characters";

  ASSERT_EQ(Run({"endpoints"}), 0) << err_;
  EXPECT_THAT(out_, HasSubstr("key 7: pid " + std::to_string(refuser->Pid()) +
                              " (sub\\x1b[2Jx) connected"));
  EXPECT_THAT(out_, HasSubstr("last answer refused"));
  EXPECT_THAT(out_, Not(HasSubstr("\x1b")));

  // Another server (this test) unlinks the live host's socket and binds its
  // own, as a foreign gRPC server would.
  const std::string socketPath = (Dir() / (key + ".sock")).string();
  ASSERT_EQ(::unlink(socketPath.c_str()), 0);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  Parsed taken = List({"--timeout", "200"});
  ::close(fd);
  EXPECT_EQ(taken.rows[key].state, "conflict") << out_;
  EXPECT_THAT(taken.rows[key].problem,
              HasSubstr("process " + std::to_string(::getpid()) + " serves the socket"));
}

}  // namespace
}  // namespace Norv::Testing
