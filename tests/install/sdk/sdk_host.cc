// A host application on the installed package only:
//   sdk_host CLIENT_PROGRAM [ARGS...]
// serves its own data service and launcher, implemented here on the
// installed contract interfaces and hosted with NamedPipeServiceHost, and
// reaches them through the bridge; chooses a thread culture; catches the
// component's exceptions by type; sets the callback time-out; then starts
// the shutdown service and runs CLIENT_PROGRAM ARGS... HOST_PID, a client
// application that refuses the first request, agrees to the second and
// leaves when forced. Prints "sdk host ok" and exits 0 when all went as
// expected; otherwise names what did not and exits 1.
#include <norv/interop.h>
#include <norv/platform.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace Contracts = Norv::ServiceModel::Contracts;
using Contracts::Service::IApplicationLauncher;
using Contracts::Service::IDataService;
using Norv::Collection;
using Norv::DateTime;
using Norv::ServiceString;
using Norv::Halvane::Interop::Halvane;
using Norv::MirnDataService::Interop::MirnDataService;
using Norv::ServiceModel::NamedPipeServiceHost;
using Norv::ServiceModel::TypeOf;

int failures = 0;

void Expect(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    ++failures;
  }
}

// A data service of project "north" whose only forecast life is 7 March
// 2011; any other project is a fault raised by the service.
class SdkDataService final : public IDataService {
 public:
  void LogOn(const String&, const String&, const String&, const String&) override {}
  bool IsProjectAdmin(const String& project, const String&, const String&) override {
    Check(project);
    return true;
  }
  bool IsUserRestricted(const String& project, const String&, const String&) override {
    Check(project);
    return false;
  }
  bool IsDatabaseCanBeConnected(const String& project, const String&, const String&) override {
    Check(project);
    return true;
  }
  Collection<String> GetAuthors(const String& project, const String&, const String&) override {
    Check(project);
    return std::vector<String>{ServiceString::FromUtf8("Amara")};
  }
  double GetForecastEUR(const String& project, const String&, const String&, std::int32_t,
                        const String&, const String&) override {
    Check(project);
    return 1.5;
  }
  double GetForecastReserve(const String& project, const String&, const String&, std::int32_t,
                            const String&, const String&) override {
    Check(project);
    return 2.5;
  }
  DateTime GetForecastLife(const String& project, const String&, const String&, std::int32_t,
                           const String&, const String&) override {
    Check(project);
    DateTime life;
    life.year = 2011;
    life.month = 3;
    life.day = 7;
    life.hour = 23;
    life.minute = 59;
    return life;
  }
  Contracts::Data::DoubleResultSetCollection GetForecastEURList(const String&, const String&,
                                                                const String&, const String&,
                                                                const String&) override {
    return std::nullopt;
  }
  Contracts::Data::DoubleResultSetCollection GetForecastReserveList(const String&, const String&,
                                                                    const String&, const String&,
                                                                    const String&) override {
    return std::nullopt;
  }
  Contracts::Data::DateTimeResultSetCollection GetForecastLifeList(const String&, const String&,
                                                                   const String&, const String&,
                                                                   const String&) override {
    return std::nullopt;
  }
  Collection<std::int32_t> GetBoreholeIdsWithForecast(const String&, const String&, const String&,
                                                      const String&, const String&) override {
    return std::nullopt;
  }
  Contracts::Data::StringResultSetCollection GetForecastTemplatesByAuthor(const String&,
                                                                          const String&,
                                                                          const String&,
                                                                          const String&) override {
    return std::nullopt;
  }

 private:
  static void Check(const String& project) {
    if (project.ToUtf8() != "north") {
      throw std::runtime_error("project " + project.ToUtf8() + " is not served here");
    }
  }
};

// A launcher that records what it was asked.
class SdkLauncher final : public IApplicationLauncher {
 public:
  void LogOn(const String& project, const String& user, const String&,
             const String& author) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("LogOn " + project.ToUtf8() + " " + user.ToUtf8() + " " + author.ToUtf8());
  }
  void LaunchTrasko() override { Record("LaunchTrasko"); }
  void LaunchWendal() override { Record("LaunchWendal"); }
  void LaunchOrbisk() override { Record("LaunchOrbisk"); }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

char* Arg(std::string& text) { return text.data(); }

void CheckCultureAndFaults(int pid) {
  std::string project = "north", user = "ann", password = "secret", templ = "Budget",
              author = "Amara", other = "south";
  std::string defaultLife, germanLife, cultureName;
  std::thread([&] {
    defaultLife = MirnDataService::GetForecastLife(Arg(project), Arg(user), Arg(password), pid, 7,
                                                   Arg(templ), Arg(author));
  }).join();
  std::thread([&] {
    Norv::Text::SetCurrentCulture("de-DE");
    cultureName = Norv::Text::CurrentCultureName();
    germanLife = MirnDataService::GetForecastLife(Arg(project), Arg(user), Arg(password), pid, 7,
                                                  Arg(templ), Arg(author));
  }).join();
  Expect(cultureName == "de-DE", "the thread's culture is de-DE, not " + cultureName);
  Expect(germanLife == "07.03.2011", "de-DE formats the life as 07.03.2011, not " + germanLife);
  Expect(defaultLife == "3/7/2011", "the default culture formats 3/7/2011, not " + defaultLife);

  try {
    Norv::Text::SetCurrentCulture("xx-Nowhere");
    Expect(false, "an unknown culture name raises");
  } catch (const Norv::Text::TextConfigurationError& e) {
    Expect(std::strstr(e.what(), "xx-Nowhere") != nullptr,
           std::string("the culture error names the culture: ") + e.what());
  }

  try {
    MirnDataService::IsProjectAdmin(Arg(other), Arg(user), Arg(password), pid);
    Expect(false, "a fault of the service raises");
  } catch (const Norv::ServiceModel::FaultException& e) {
    Expect(e.Reason() == "project south is not served here",
           "the fault carries the service's reason, not: " + e.Reason());
  }

  // No process has this id: nobody listens there.
  const int nobody = 2147483000;
  try {
    MirnDataService::IsProjectAdmin(Arg(project), Arg(user), Arg(password), nobody);
    Expect(false, "a call to an endpoint nobody serves raises");
  } catch (const Norv::ServiceModel::EndpointNotFoundException& e) {
    Expect(std::strstr(e.what(), "2147483000") != nullptr,
           std::string("the error names the process: ") + e.what());
  }
}

void CheckLauncher(SdkLauncher& launcher) {
  std::string project = "north", user = "ann", password = "secret", author = "Amara";
  Halvane::LogOn(Arg(project), Arg(user), Arg(password), Arg(author));
  Halvane::LaunchTrasko();
  Halvane::LaunchOrbisk();
  std::vector<std::string> expected{"LogOn north ann Amara", "LaunchTrasko", "LaunchOrbisk"};
  Expect(launcher.Calls() == expected, "the launcher of this process got LogOn and two launches");
}

void CheckTimeouts() {
  Norv::ServiceModel::Timeouts timeouts = NamedPipeServiceHost::GetTimeouts();
  timeouts.callback = std::chrono::milliseconds(3000);
  NamedPipeServiceHost::SetTimeouts(timeouts);
  Expect(NamedPipeServiceHost::GetTimeouts().callback == std::chrono::milliseconds(3000),
         "the callback time-out is 3 s once set");
}

// A child process whose standard output the host reads line by line.
class Client {
 public:
  Client(std::vector<std::string> argv) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  ~Client() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }

  // Waits up to 30 s for a line holding `text`.
  bool WaitFor(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (true) {
      std::size_t end;
      while ((end = buffer_.find('\n')) != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (line.find(text) != std::string::npos) return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char chunk[256];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // The exit status, waiting up to 30 s; -1 when it did not exit.
  int Wait() {
    for (int i = 0; i < 300; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

void CheckShutdown(int pid, std::vector<std::string> clientArgv) {
  using Norv::ServiceModel::Interop::ShutdownFactory;
  ShutdownFactory::StartShutdownService(pid);
  clientArgv.push_back(std::to_string(pid));
  Client client(clientArgv);
  Expect(client.WaitFor("subscribed"), "the client application subscribes");
  Expect(!ShutdownFactory::RequestStopShutdownService(), "the client refuses the first request");
  Expect(client.WaitFor("request 1: refuse"), "the client saw the first request");
  Expect(ShutdownFactory::RequestStopShutdownService(), "the client agrees to the second");
  ShutdownFactory::ForceStopShutdownService();
  Expect(client.WaitFor("forced"), "the client is forced");
  Expect(client.Wait() == 0, "the client exits 0 once forced");
  ShutdownFactory::StopShutdownService();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: sdk_host CLIENT_PROGRAM [ARGS...]\n");
    return 2;
  }
  const int pid = static_cast<int>(::getpid());
  try {
    auto dataService = std::make_shared<SdkDataService>();
    NamedPipeServiceHost dataHost(dataService, pid, std::string(TypeOf<IDataService>().fullName));
    dataHost.AddServiceEndpoint(TypeOf<IDataService>());
    dataHost.Open();
    auto launcher = std::make_shared<SdkLauncher>();
    NamedPipeServiceHost launcherHost(launcher, pid, "ApplicationLauncher");
    launcherHost.AddServiceEndpoint(TypeOf<IApplicationLauncher>());
    launcherHost.Open();

    CheckCultureAndFaults(pid);
    CheckLauncher(*launcher);
    CheckTimeouts();
    CheckShutdown(pid, std::vector<std::string>(argv + 1, argv + argc));

    launcherHost.Close();
    dataHost.Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "FAIL: %s\n", e.what());
    return 1;
  }
  if (failures != 0) return 1;
  std::puts("sdk host ok");
  return 0;
}
