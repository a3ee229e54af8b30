// A host application at the edges of its process's life, for the tests of
// pipes_edges_test. Each mode prints one line per event, "<what>: <answer>"
// (or "<what>: error: <message>"), and exits 0 unless it could not set up.
//   norv_pipes_edges exit-calls <pid> <project> <user> <password>
//       asks the data service of <pid> IsProjectAdmin and the GetForecastLife
//       of borehole 103, template Decline, author Zoe (a short date, through
//       the conversion's scratch text) in main, then again from a
//       thread_local destructor of a worker thread and of the main thread, an
//       atexit handler (and a thread it starts there), and a static
//       destructor, each after the library's own per-thread state is gone.
//   norv_pipes_edges fork-fresh <pid> <project> <user> <password>
//       forks before any call; the child, then the parent, ask IsProjectAdmin.
//   norv_pipes_edges fork-used <pid> <project> <user> <password>
//       starts the shutdown service for itself, subscribes to it and asks
//       IsProjectAdmin; then forks a child that calls through the inherited
//       connection and session, opens a host, unsubscribes, stops the
//       shutdown service and calls exit(); then calls, pings and requests a
//       shutdown again itself, and returns from main with the service open.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "norv/interop/MirnDataService.h"
#include "norv/interop/ShutdownFactory.h"
#include "services/NamedPipeServiceHost.h"
#include "services/ShutdownClient.h"
#include "tests/pipes/TestServices.h"

namespace {

using Norv::MirnDataService::Interop::MirnDataService;
using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::ShutdownCallback;
using Norv::ServiceModel::ShutdownClient;
using Norv::ServiceModel::TypeOf;
using Norv::ServiceModel::Contracts::Service::IShutdown;
using Norv::ServiceModel::Interop::ShutdownFactory;

struct Target {
  int pid = 0;
  std::string project, user, password;
};
Target gTarget;

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// Runs `call` and prints "<what>: <its answer>" or "<what>: error: <message>".
void Report(const std::string& what, const std::function<std::string()>& call) {
  try {
    Say(what + ": " + call());
  } catch (const std::exception& e) {
    Say(what + ": error: " + e.what());
  }
}

std::string AskAdmin() {
  return MirnDataService::IsProjectAdmin(gTarget.project.data(), gTarget.user.data(),
                                         gTarget.password.data(), gTarget.pid)
             ? "true"
             : "false";
}

std::string AskAdminAndLife() {
  std::string templateName = "Decline";
  std::string author = "Zoe";
  return AskAdmin() + " " +
         MirnDataService::GetForecastLife(gTarget.project.data(), gTarget.user.data(),
                                          gTarget.password.data(), gTarget.pid, 103,
                                          templateName.data(), author.data());
}

// Calls when its thread's thread_local objects are destroyed. Made before
// the thread's first call, so it goes after the library's per-thread state.
struct CallsWhenDestroyed {
  std::string what;
  ~CallsWhenDestroyed() { Report(what, AskAdminAndLife); }
};

bool gCallAtStaticDestruction = false;

struct CallsAtStaticDestruction {
  ~CallsAtStaticDestruction() {
    if (gCallAtStaticDestruction) Report("static destructor", AskAdminAndLife);
  }
} gCallsAtStaticDestruction;

void CallAtExit() {
  Report("atexit", AskAdminAndLife);
  std::thread([] { Report("atexit thread", AskAdminAndLife); }).join();
}

int ExitCalls() {
  gCallAtStaticDestruction = true;
  std::thread([] {
    thread_local CallsWhenDestroyed last{"worker thread_local"};
    Report("worker", AskAdminAndLife);
  }).join();
  thread_local CallsWhenDestroyed last{"main thread_local"};
  std::atexit(&CallAtExit);
  Report("main", AskAdminAndLife);
  return 0;
}

int ChildStatus(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ForkFresh() {
  const pid_t child = ::fork();
  if (child < 0) return 2;
  if (child == 0) {
    Report("child", AskAdmin);
    std::exit(0);
  }
  Say("child exit: " + std::to_string(ChildStatus(child)));
  Report("parent", AskAdmin);
  return 0;
}

bool Exists(const std::string& name) {
  const char* dir = std::getenv("NORV_PIPE_DIR");
  return std::filesystem::exists(std::filesystem::path(dir != nullptr ? dir : "") / name);
}

std::string Files(int pid) {
  const std::string prefix = std::to_string(pid) + ".Shutdown.";
  return std::string(Exists(prefix + "sock") ? "socket" : "no socket") + ", " +
         (Exists(prefix + "lock") ? "lock" : "no lock");
}

int ForkUsed() {
  // Short time-outs: a call that hangs on a connection the child wrote on
  // fails instead of passing late.
  NamedPipeServiceHost::SetTimeouts({std::chrono::milliseconds(3000),
                                     std::chrono::milliseconds(3000),
                                     std::chrono::milliseconds(3000)});
  const int self = static_cast<int>(::getpid());
  ShutdownFactory::StartShutdownService(self);
  auto callback = std::make_shared<ShutdownCallback>([] { return false; }, [] {});
  auto client = std::make_unique<ShutdownClient>(self, 7, callback);
  Report("before fork", AskAdmin);

  const pid_t child = ::fork();
  if (child < 0) return 2;
  if (child == 0) {
    Report("child call", AskAdmin);
    Report("child ping", [&] {
      client->Ping();
      return std::string("ok");
    });
    Report("child open", [] {
      NamedPipeServiceHost host(std::make_shared<Norv::Testing::RecordingShutdown>(),
                                static_cast<int>(::getpid()), "Shutdown");
      host.AddServiceEndpoint(TypeOf<IShutdown>());
      host.Open();
      return std::string("opened");
    });
    client.reset();
    ShutdownFactory::StopShutdownService();
    Say("child files: " + Files(self));
    std::exit(0);
  }
  Say("child exit: " + std::to_string(ChildStatus(child)));
  Say("parent files: " + Files(self));
  Report("parent call", AskAdmin);
  Report("parent ping", [&] {
    client->Ping();
    return std::string("ok");
  });
  // The subscriber still answers through its session: it refuses.
  Report("parent request", [] {
    return ShutdownFactory::RequestStopShutdownService() ? std::string("true")
                                                         : std::string("false");
  });
  client.reset();
  return 0;  // with the shutdown service open
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() != 5) {
    std::fprintf(stderr, "usage: norv_pipes_edges MODE PID PROJECT USER PASSWORD\n");
    return 2;
  }
  gTarget = {std::stoi(args[1]), args[2], args[3], args[4]};
  if (args[0] == "exit-calls") return ExitCalls();
  if (args[0] == "fork-fresh") return ForkFresh();
  if (args[0] == "fork-used") return ForkUsed();
  std::fprintf(stderr, "norv_pipes_edges: unknown mode %s\n", args[0].c_str());
  return 2;
}
