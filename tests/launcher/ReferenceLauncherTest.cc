// The reference launcher end to end: the Halvane bridge reaches it through
// the real component, and it starts the real companion program, which writes
// what it received to a temporary file.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norv/interop/Halvane.h"
#include "servers/launcher/ReferenceLauncher.h"
#include "services/NamedPipeServiceHost.h"
#include "tests/launcher/LauncherTesting.h"
#include "tests/support/TestSupport.h"

namespace Norv::Servers {
namespace {

using Halvane::Interop::Halvane;
using ServiceModel::FaultException;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

constexpr auto kGenerous = 30s;

class ReferenceLauncherTest : public ::testing::Test {
 protected:
  std::filesystem::path ReportOf(const std::string& tool) const {
    return files_.Path() / (tool + ".report");
  }
  // The companion program writing its report for `tool`, with `extra`
  // arguments after the program's own.
  Command CompanionFor(const std::string& tool, std::vector<std::string> extra = {}) const {
    Command command = {Testing::CompanionProgram(), "--output", ReportOf(tool).string(),
                       "--all-environment"};
    command.insert(command.end(), extra.begin(), extra.end());
    return command;
  }
  ReferenceLauncherOptions AllTools() const {
    ReferenceLauncherOptions options;
    options.trasko = CompanionFor("trasko", {"--role", "first tool"});
    options.wendal = CompanionFor("wendal");
    options.orbisk = CompanionFor("orbisk");
    return options;
  }
  // Waits for every tool to end and be reaped, then reads `tool`'s report.
  Testing::CompanionReport ReportAfterReaping(ReferenceLauncher& launcher,
                                              const std::string& tool) {
    EXPECT_TRUE(launcher.Service().WaitUntilNoRunningTools(kGenerous));
    return Testing::ReadCompanionReport(ReportOf(tool));
  }

  Testing::PrivatePipeDir pipes_;
  Testing::TempDir files_;
};

// Nothing is left to reap: the pid is gone, and no zombie waits for a parent.
void ExpectReaped(pid_t pid) {
  EXPECT_TRUE(Testing::ProcessGone(pid)) << "process " << pid << " is still there";
  errno = 0;
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ReferenceLauncherTest, BridgeLogOnThenLaunchHandsTheToolItsContext) {
  ReferenceLauncher launcher(AllTools());
  launcher.Start();
  char project[] = "/projects/north sea";
  char user[] = "ann";
  char password[] = "s3cret pass";
  char author[] = "bob";
  Halvane::LogOn(project, user, password, author);
  Halvane::LaunchTrasko();

  Testing::CompanionReport report = ReportAfterReaping(launcher, "trasko");
  EXPECT_EQ(report.env["NORV_PROJECT_PATH"], "/projects/north sea");
  EXPECT_EQ(report.env["NORV_USER"], "ann");
  EXPECT_EQ(report.env["NORV_AUTHOR"], "bob");
  EXPECT_EQ(report.env["NORV_TOOL"], "Trasko");
  EXPECT_EQ(report.env["NORV_LAUNCHER_PID"], std::to_string(::getpid()));
  // The password arrives on standard input, and nowhere else.
  EXPECT_EQ(report.standardInput, "s3cret pass");
  for (const std::string& line : report.environmentLines) {
    EXPECT_THAT(line, Not(HasSubstr("s3cret"))) << "password leaked into the environment";
  }
  for (const std::string& arg : report.args) {
    EXPECT_THAT(arg, Not(HasSubstr("s3cret"))) << "password leaked into the arguments";
  }
  // The configured command, word for word.
  EXPECT_THAT(report.args,
              ElementsAre(Testing::CompanionProgram(), "--output", ReportOf("trasko").string(),
                          "--all-environment", "--role", "first tool"));
  ExpectReaped(report.pid);
}

TEST_F(ReferenceLauncherTest, EachLaunchStartsItsOwnTool) {
  ReferenceLauncher launcher(AllTools());
  launcher.Start();
  Halvane::LaunchWendal();
  Halvane::LaunchOrbisk();
  ASSERT_TRUE(launcher.Service().WaitUntilNoRunningTools(kGenerous));
  EXPECT_FALSE(std::filesystem::exists(ReportOf("trasko")));
  Testing::CompanionReport wendal = Testing::ReadCompanionReport(ReportOf("wendal"));
  Testing::CompanionReport orbisk = Testing::ReadCompanionReport(ReportOf("orbisk"));
  EXPECT_EQ(wendal.env["NORV_TOOL"], "Wendal");
  EXPECT_EQ(orbisk.env["NORV_TOOL"], "Orbisk");
  ExpectReaped(wendal.pid);
  ExpectReaped(orbisk.pid);
}

TEST_F(ReferenceLauncherTest, ToolsStartedBeforeAnyLogOnGetNoLogOnAndNoStaleOne) {
  // Variables in the launcher's own environment never pass for a log-on.
  Testing::ScopedEnv staleUser("NORV_USER", "intruder");
  Testing::ScopedEnv stalePassword("NORV_PASSWORD", "leaked");
  ReferenceLauncher launcher(AllTools());
  launcher.Start();
  Halvane::LaunchTrasko();
  Testing::CompanionReport report = ReportAfterReaping(launcher, "trasko");
  EXPECT_EQ(report.env.count("NORV_USER"), 0u);
  EXPECT_EQ(report.env.count("NORV_PASSWORD"), 0u);
  EXPECT_EQ(report.env.count("NORV_PROJECT_PATH"), 0u);
  EXPECT_EQ(report.env.count("NORV_AUTHOR"), 0u);
  EXPECT_EQ(report.standardInput, "");
  // The rest of the environment is inherited.
  EXPECT_EQ(report.env["NORV_PIPE_DIR"], std::string(std::getenv("NORV_PIPE_DIR")));
}

TEST_F(ReferenceLauncherTest, ALaterLogOnReplacesTheEarlierOne) {
  ReferenceLauncher launcher(AllTools());
  launcher.Start();
  char first[] = "first";
  char second[] = "second";
  Halvane::LogOn(first, first, first, first);
  Halvane::LogOn(second, second, nullptr, nullptr);
  Halvane::LaunchOrbisk();
  Testing::CompanionReport report = ReportAfterReaping(launcher, "orbisk");
  EXPECT_EQ(report.env["NORV_PROJECT_PATH"], "second");
  EXPECT_EQ(report.env["NORV_USER"], "second");
  EXPECT_EQ(report.env["NORV_AUTHOR"], "");
  EXPECT_EQ(report.standardInput, "");
}

TEST_F(ReferenceLauncherTest, ARefusedLogOnLeavesTheLauncherLoggedOff) {
  ReferenceLauncher launcher(AllTools());
  LauncherService& service = launcher.Service();
  service.LogOn(ServiceString(u"/p"), ServiceString(u"ann"), ServiceString(u"pw"),
                ServiceString(u"bob"));
  const std::u16string longPassword(LauncherService::kMaxPasswordBytes + 1, u'x');
  try {
    service.LogOn(ServiceString(u"/p"), ServiceString(u"eve"), ServiceString(longPassword),
                  ServiceString(u"bob"));
    ADD_FAILURE() << "an oversized password was accepted";
  } catch (const LauncherError& e) {
    EXPECT_THAT(e.what(), HasSubstr("password"));
  }
  service.Launch(CompanionTool::kTrasko);
  Testing::CompanionReport report = ReportAfterReaping(launcher, "trasko");
  EXPECT_EQ(report.env.count("NORV_USER"), 0u);
  EXPECT_EQ(report.standardInput, "");

  // A password of exactly the limit passes whole; a NUL in the user cannot.
  const std::u16string fullPassword(LauncherService::kMaxPasswordBytes, u'y');
  service.LogOn(ServiceString(u"/p"), ServiceString(u"ann"), ServiceString(fullPassword),
                ServiceString(u"bob"));
  service.Launch(CompanionTool::kWendal);
  EXPECT_EQ(ReportAfterReaping(launcher, "wendal").standardInput,
            std::string(LauncherService::kMaxPasswordBytes, 'y'));
  EXPECT_THROW(service.LogOn(ServiceString(u"/p"), ServiceString(std::u16string(u"a\0b", 3)),
                             ServiceString(u"pw"), ServiceString(u"bob")),
               LauncherError);
}

TEST_F(ReferenceLauncherTest, AToolNotConfiguredIsAFaultNamingIt) {
  ReferenceLauncherOptions options = AllTools();
  options.orbisk.clear();
  ReferenceLauncher launcher(std::move(options));
  launcher.Start();
  try {
    Halvane::LaunchOrbisk();
    ADD_FAILURE() << "launching an unconfigured tool succeeded";
  } catch (const FaultException& e) {
    EXPECT_THAT(e.Reason(), HasSubstr("Orbisk is not configured"));
    EXPECT_THAT(e.Reason(), HasSubstr(std::to_string(::getpid())));
  }
  EXPECT_EQ(launcher.Service().RunningTools(), 0u);
  // The other tools still start.
  Halvane::LaunchTrasko();
  EXPECT_TRUE(launcher.Service().WaitUntilNoRunningTools(kGenerous));
}

TEST_F(ReferenceLauncherTest, AToolThatCannotBeStartedIsAFaultNamingItAndTheReason) {
  const std::filesystem::path missing = files_.Path() / "no-such-tool";
  const std::filesystem::path notExecutable = files_.Path() / "plain.txt";
  const std::filesystem::path notAProgram = files_.Path() / "garbage";
  std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
  ::chmod(notExecutable.c_str(), 0644);
  std::ofstream(notAProgram) << "\x01\x02 not a program\n";
  ::chmod(notAProgram.c_str(), 0755);

  ReferenceLauncherOptions options;
  options.trasko = {missing.string()};
  options.wendal = {notExecutable.string(), "--flag"};
  options.orbisk = {"norv-no-such-program-in-path"};
  ReferenceLauncher launcher(std::move(options));
  launcher.Start();

  struct Case {
    void (*launch)();
    std::string tool, program, reason;
  };
  const Case cases[] = {
      {&Halvane::LaunchTrasko, "Trasko", missing.string(), "No such file or directory"},
      {&Halvane::LaunchWendal, "Wendal", notExecutable.string(), "Permission denied"},
      {&Halvane::LaunchOrbisk, "Orbisk", "norv-no-such-program-in-path",
       "No such file or directory"},
  };
  for (const Case& c : cases) {
    try {
      c.launch();
      ADD_FAILURE() << c.tool << " was reported started";
    } catch (const FaultException& e) {
      EXPECT_THAT(e.Reason(), HasSubstr("cannot start " + c.tool));
      EXPECT_THAT(e.Reason(), HasSubstr(c.program));
      EXPECT_THAT(e.Reason(), HasSubstr(c.reason));
    }
  }
  // Not a program either: the exec failure is seen, not an exit status 127.
  LauncherService direct(1, {notAProgram.string()}, {}, {});
  EXPECT_THROW(direct.Launch(CompanionTool::kTrasko), LauncherError);
  EXPECT_EQ(launcher.Service().RunningTools(), 0u);
  EXPECT_EQ(direct.RunningTools(), 0u);
  // No child of this process is left behind, reaped or not.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ReferenceLauncherTest, ToolsStartCleanWhateverTheLauncherBlocksOrHolds) {
  ReferenceLauncher launcher(AllTools());
  launcher.Start();
  // A launcher thread that blocks signals and ignores SIGPIPE (as norvctl
  // does) must not hand that on; nor any descriptor beyond 0, 1 and 2.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  struct sigaction ignore = {}, previousPipe = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previousPipe), 0);
  int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaky, 3);

  launcher.Service().Launch(CompanionTool::kWendal);

  ::close(leaky);
  sigaction(SIGPIPE, &previousPipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  Testing::CompanionReport report = ReportAfterReaping(launcher, "wendal");
  EXPECT_EQ(report.fds, "0,1,2");
  EXPECT_EQ(report.blockedSignals, "0000000000000000");
  // glibc's posix_spawn leaves its two internal signals (32 and 33, which
  // no program may use) ignored and offers no way to reset them; every
  // other signal must be at its default.
  const unsigned long long ignored = std::stoull(report.ignoredSignals, nullptr, 16);
  const unsigned long long glibcInternal = (1ULL << 31) | (1ULL << 32);
  EXPECT_EQ(ignored & ~glibcInternal, 0u) << report.ignoredSignals;
}

TEST_F(ReferenceLauncherTest, ToolsOutliveTheLauncherAndAreStillReaped) {
  ReferenceLauncherOptions options = AllTools();
  options.trasko = CompanionFor("trasko", {"--wait"});
  pid_t tool = -1;
  {
    ReferenceLauncher launcher(std::move(options));
    launcher.Start();
    Halvane::LaunchTrasko();
    ASSERT_TRUE(Testing::WaitForFile(ReportOf("trasko"), kGenerous));
    tool = Testing::ReadCompanionReport(ReportOf("trasko")).pid;
    EXPECT_EQ(launcher.Service().RunningTools(), 1u);
    // The running tool holds nothing of the launcher's: the endpoint can be
    // served again at once.
    launcher.Stop();
    ReferenceLauncher next(AllTools());
    EXPECT_NO_THROW(next.Start());
  }
  // The launchers are gone; the tool still runs and is reaped when it ends.
  ASSERT_FALSE(Testing::ProcessGone(tool));
  ASSERT_EQ(::kill(tool, SIGTERM), 0);
  EXPECT_TRUE(Testing::WaitUntilProcessGone(tool, kGenerous));
}

TEST_F(ReferenceLauncherTest, StartAndStopAreRepeatableAndRemoveTheSocket) {
  ReferenceLauncher launcher(AllTools());
  const std::filesystem::path socket = std::filesystem::path(std::getenv("NORV_PIPE_DIR")) /
                                       (std::to_string(::getpid()) + ".ApplicationLauncher.sock");
  for (int round = 0; round < 2; ++round) {
    launcher.Start();
    launcher.Start();
    EXPECT_TRUE(launcher.IsServing());
    EXPECT_TRUE(std::filesystem::exists(socket));
    Halvane::LaunchWendal();
    launcher.Stop();
    launcher.Stop();
    EXPECT_FALSE(launcher.IsServing());
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_THROW(Halvane::LaunchWendal(), ServiceModel::EndpointNotFoundException);
  }
  EXPECT_TRUE(launcher.Service().WaitUntilNoRunningTools(kGenerous));
}

TEST_F(ReferenceLauncherTest, ASecondLauncherForTheSameProcessIsRefused) {
  ReferenceLauncher first(AllTools());
  first.Start();
  ReferenceLauncher second(AllTools());
  EXPECT_THROW(second.Start(), ServiceModel::CommunicationException);
  EXPECT_FALSE(second.IsServing());
  Halvane::LaunchTrasko();  // still the first one's
  EXPECT_TRUE(first.Service().WaitUntilNoRunningTools(kGenerous));
}

TEST(SplitCommand, SplitsAtBlanksWithoutQuoting) {
  EXPECT_THAT(SplitCommand("  /usr/bin/tool\t--a  b "), ElementsAre("/usr/bin/tool", "--a", "b"));
  EXPECT_THAT(SplitCommand("'a b'"), ElementsAre("'a", "b'"));
  EXPECT_TRUE(SplitCommand(" \t ").empty());
  EXPECT_TRUE(SplitCommand("").empty());
}

}  // namespace
}  // namespace Norv::Servers
