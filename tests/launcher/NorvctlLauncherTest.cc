// norvctl serve launcher and norvctl launcher, run as real processes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
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
#include "tests/support/TestSupport.h"

extern char** environ;

namespace Norv::Testing {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// A child process with its standard input, output and error on pipes.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& input) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    // Small inputs only: they fit the pipe, so this cannot block.
    [[maybe_unused]] ssize_t written = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    ::close(out_);
    ::close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }

  // The next line of standard output (without the newline); "" at its end.
  std::string ReadLine() {
    std::string line;
    char c;
    while (::read(out_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Reads both outputs to their end, then reaps the child; its wait status.
  int Wait() {
    std::vector<pollfd> fds = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    std::string* sinks[] = {&out, &err};
    int open = 2;
    while (open > 0) {
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(n));
        } else {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

  std::string out, err;

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

int ExitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    Child child(full, input);
    int status = child.Wait();
    lastOut_ = child.out;
    lastErr_ = child.err;
    return ExitCode(status);
  }

  PrivatePipeDir pipes_;
  TempDir files_;
  std::string lastOut_, lastErr_;
};

TEST_F(NorvctlLauncherTest, ServesUntilSigtermAndAnswersTheDiagnosticCommands) {
  Child server(Serve(), "");
  const std::string banner = server.ReadLine();
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
  EXPECT_EQ(ExitCode(server.Wait()), 0) << server.err;
  EXPECT_THAT(server.out, HasSubstr("stopped on SIGTERM"));
  EXPECT_FALSE(std::filesystem::exists(socket));
  // Nobody serves it any more: the diagnostic says so and fails.
  EXPECT_EQ(Run({"launcher", "trasko", "--pid", pid}), 1);
  EXPECT_THAT(lastErr_, HasSubstr("nobody is listening"));
}

TEST_F(NorvctlLauncherTest, ServingAnotherProcessIdLetsThatProcessBridgeReachIt) {
  // Served for this test's process id, the launcher is what this process's
  // Halvane bridge reaches.
  Child server(Serve({"--pid", std::to_string(::getpid())}), "");
  ASSERT_THAT(server.ReadLine(), HasSubstr("for process " + std::to_string(::getpid())));
  char user[] = "carl";
  Halvane::Interop::Halvane::LogOn(nullptr, user, nullptr, nullptr);
  Halvane::Interop::Halvane::LaunchTrasko();
  ASSERT_TRUE(WaitForFile(Report(), 30s));
  EXPECT_EQ(ReadCompanionReport(Report()).env["NORV_USER"], "carl");
  ASSERT_EQ(::kill(server.Pid(), SIGINT), 0);
  EXPECT_EQ(ExitCode(server.Wait()), 0) << server.err;
  EXPECT_THAT(server.out, HasSubstr("stopped on SIGINT"));
}

TEST_F(NorvctlLauncherTest, ASecondServerForTheSameProcessFailsCleanly) {
  Child first(Serve({"--pid", "4242"}), "");
  ASSERT_THAT(first.ReadLine(), HasSubstr("for process 4242"));
  EXPECT_EQ(Run({"serve", "launcher", "--pid", "4242"}), 1);
  EXPECT_THAT(lastErr_, HasSubstr("4242"));
  ASSERT_EQ(::kill(first.Pid(), SIGTERM), 0);
  EXPECT_EQ(ExitCode(first.Wait()), 0);
}

}  // namespace
}  // namespace Norv::Testing
