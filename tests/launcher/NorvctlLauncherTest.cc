// norvctl serve launcher and norvctl launcher, run as real processes.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norv/interop/Halvane.h"
#include "tests/launcher/LauncherTesting.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// A child process with `input` on its standard input (closed after it) and
// its standard error on a pipe of its own.
ChildProcess Start(const std::vector<std::string>& argv, const std::string& input) {
  ChildProcess child(argv, {.errors = ChildProcess::ErrorStream::kPipe});
  child.Write(input);
  child.CloseInput();
  return child;
}

class NorvctlLauncherTest : public ::testing::Test {
 protected:
  std::string Report() const { return (files_.Path() / "trasko.report").string(); }
  std::vector<std::string> Serve(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {NORV_NORVCTL, "serve", "launcher", "--trasko",
                                     CompanionProgram() + " --output " + Report()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // Runs norvctl to its end; its exit code.
  int Run(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> full = {NORV_NORVCTL};
    full.insert(full.end(), args.begin(), args.end());
    ChildProcess child = Start(full, input);
    const int code = child.Finish();
    lastOut_ = child.Out();
    lastErr_ = child.Err();
    return code;
  }

  PrivatePipeDir pipes_;
  TempDir files_;
  std::string lastOut_, lastErr_;
};

TEST_F(NorvctlLauncherTest, ServesUntilSigtermAndAnswersTheDiagnosticCommands) {
  ChildProcess server = Start(Serve(), "");
  const std::string banner = server.ReadLine().value_or("");
  const std::string pid = std::to_string(server.Pid());
  ASSERT_THAT(banner, HasSubstr("serving ApplicationLauncher for process " + pid));
  const std::filesystem::path socket =
      std::filesystem::path(std::getenv("NORV_PIPE_DIR")) / (pid + ".ApplicationLauncher.sock");
  EXPECT_TRUE(std::filesystem::exists(socket));

  EXPECT_EQ(Run({"launcher", "logon", "--pid", pid, "--project", "/p", "--user", "ann", "--author",
                 "bob", "--password-stdin"},
                "pw one\n"),
            0)
      << lastErr_;
  EXPECT_EQ(Run({"launcher", "trasko", "--pid", pid}), 0) << lastErr_;
  EXPECT_THAT(lastOut_, HasSubstr("Trasko started by the launcher of process " + pid));
  ASSERT_TRUE(WaitForFile(Report(), 30s));
  CompanionReport report = ReadCompanionReport(Report());
  EXPECT_EQ(report.env["NORV_USER"], "ann");
  EXPECT_EQ(report.env["NORV_LAUNCHER_PID"], pid);
  EXPECT_EQ(report.standardInput, "pw one");

  // Wendal is not configured: a clean failure naming it.
  EXPECT_EQ(Run({"launcher", "wendal", "--pid", pid}), 1);
  EXPECT_THAT(lastErr_, HasSubstr("Wendal is not configured"));

  ASSERT_EQ(::kill(server.Pid(), SIGTERM), 0);
  EXPECT_EQ(server.Finish(), 0) << server.Err();
  EXPECT_THAT(server.Out(), HasSubstr("stopped on SIGTERM"));
  EXPECT_FALSE(std::filesystem::exists(socket));
  // Nobody serves it any more: the diagnostic says so and fails.
  EXPECT_EQ(Run({"launcher", "trasko", "--pid", pid}), 1);
  EXPECT_THAT(lastErr_, HasSubstr("nobody is listening"));
}

TEST_F(NorvctlLauncherTest, ServingAnotherProcessIdLetsThatProcessBridgeReachIt) {
  // Served for this test's process id, the launcher is what this process's
  // Halvane bridge reaches.
  ChildProcess server = Start(Serve({"--pid", std::to_string(::getpid())}), "");
  ASSERT_THAT(server.ReadLine().value_or(""),
              HasSubstr("for process " + std::to_string(::getpid())));
  char user[] = "carl";
  Halvane::Interop::Halvane::LogOn(nullptr, user, nullptr, nullptr);
  Halvane::Interop::Halvane::LaunchTrasko();
  ASSERT_TRUE(WaitForFile(Report(), 30s));
  EXPECT_EQ(ReadCompanionReport(Report()).env["NORV_USER"], "carl");
  ASSERT_EQ(::kill(server.Pid(), SIGINT), 0);
  EXPECT_EQ(server.Finish(), 0) << server.Err();
  EXPECT_THAT(server.Out(), HasSubstr("stopped on SIGINT"));
}

TEST_F(NorvctlLauncherTest, ASecondServerForTheSameProcessFailsCleanly) {
  ChildProcess first = Start(Serve({"--pid", "4242"}), "");
  ASSERT_THAT(first.ReadLine().value_or(""), HasSubstr("for process 4242"));
  EXPECT_EQ(Run({"serve", "launcher", "--pid", "4242"}), 1);
  EXPECT_THAT(lastErr_, HasSubstr("4242"));
  ASSERT_EQ(::kill(first.Pid(), SIGTERM), 0);
  EXPECT_EQ(first.Finish(), 0);
}

}  // namespace
}  // namespace Norv::Testing
