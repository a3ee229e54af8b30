// norvctl project create-demo, serve data-service and data ..., run as real
// processes against each other.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace Norv::Testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kPid = 4100031;
constexpr auto kDeadline = std::chrono::seconds(60);

// A child process with its standard input, output and error on pipes;
// killed and reaped if the test ends before it does.
class Child {
 public:
  Child(std::vector<std::string> args, const std::string& input) {
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
    args.insert(args.begin(), NORV_NORVCTL);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) {
      ::close(in[1]);
      throw std::runtime_error("cannot start " + args[0]);
    }
    // Small inputs only: they fit the pipe, so this cannot block.
    [[maybe_unused]] ssize_t written = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }

  // Standard output up to and including the first line that contains
  // `marker`, or all of it if the child ends first.
  std::string ReadUntil(const std::string& marker) {
    auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (out.find(marker) == std::string::npos || out.back() != '\n') {
      if (!ReadSome(deadline)) break;
    }
    return out;
  }

  // Reads both outputs to their end and reaps the child: its exit status,
  // or -1 if it did not exit normally.
  int Finish() {
    auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (ReadSome(deadline)) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string out;
  std::string err;

 private:
  // Reads what is available from either pipe; false once both are at their
  // end or the deadline has passed.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{outOpen_ ? out_ : -1, POLLIN, 0}, {errOpen_ ? err_ : -1, POLLIN, 0}};
    if (!outOpen_ && !errOpen_) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
      ADD_FAILURE() << "norvctl did not finish in time; output so far: " << out << err;
      return false;
    }
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        (i == 0 ? outOpen_ : errOpen_) = false;
      } else {
        (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool outOpen_ = true;
  bool errOpen_ = true;
};

TEST(NorvctlDataTest, ServesADemoProjectAndAnswersQueries) {
  PrivatePipeDir pipes;
  TempDir dir;
  const std::string db = (dir.Path() / "demo.db").string();
  {
    Child create({"project", "create-demo", db, "--admin-password", "adm", "--weak-hashes",
                  "--boreholes", "40"},
                 "");
    ASSERT_EQ(create.Finish(), 0) << create.err;
    EXPECT_THAT(create.out, HasSubstr("created demo project \"demo\""));
    // Only the password that was not given is printed.
    EXPECT_THAT(create.out, HasSubstr("viewer: "));
    EXPECT_THAT(create.out, ::testing::Not(HasSubstr("adm\n")));
  }
  {
    Child again({"project", "create-demo", db, "--weak-hashes"}, "");
    EXPECT_EQ(again.Finish(), 1);
    EXPECT_THAT(again.err, HasSubstr("already exists"));
  }

  Child server({"serve", "data-service", "--db", db, "--pid", std::to_string(kPid)}, "");
  std::string banner = server.ReadUntil("stop with");
  ASSERT_THAT(banner, HasSubstr("for process " + std::to_string(kPid))) << server.err;
  std::filesystem::path socket;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(pipes.Path())) {
    if (entry.path().extension() == ".sock") socket = entry.path();
  }
  ASSERT_FALSE(socket.empty());
  EXPECT_THAT(banner, HasSubstr(socket.string()));

  auto query = [&](std::vector<std::string> args, const std::string& password) {
    args.insert(args.end(),
                {"--pid", std::to_string(kPid), "--project", "demo", "--password-stdin", "--json"});
    auto child = std::make_unique<Child>(args, password + "\n");
    child->Finish();
    return child;
  };
  auto admin = query({"data", "is-admin", "--user", "admin"}, "adm");
  EXPECT_EQ(admin->out, "true\n") << admin->err;
  auto authors = query({"data", "authors", "--user", "admin"}, "adm");
  EXPECT_THAT(authors->out, StartsWith("[\"Amara Okafor\", ")) << authors->err;
  auto templates = query({"data", "templates", "--user", "admin", "--author", "Rei Tanaka"}, "adm");
  EXPECT_THAT(templates->out, HasSubstr("{\"key\": ")) << templates->err;
  auto wrong = query({"data", "is-restricted", "--user", "admin"}, "nope");
  EXPECT_THAT(wrong->err, HasSubstr("wrong password for user \"admin\""));
  auto missing = query(
      {"data", "eur-list", "--user", "admin", "--forecast", "Nothing", "--author", "Rei Tanaka"},
      "adm");
  EXPECT_THAT(missing->err, HasSubstr("has no named forecast \"Nothing\""));

  ASSERT_EQ(::kill(server.Pid(), SIGTERM), 0);
  EXPECT_EQ(server.Finish(), 0) << server.err;
  EXPECT_THAT(server.out, HasSubstr("stopped on SIGTERM"));
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(NorvctlDataTest, QueriesWithoutAServiceFailWithAMessage) {
  PrivatePipeDir pipes;
  Child child({"data", "is-admin", "--pid", std::to_string(kPid), "--project", "p", "--user", "u",
               "--password-stdin"},
              "pw\n");
  EXPECT_EQ(child.Finish(), 1);
  EXPECT_THAT(child.err, HasSubstr(std::to_string(kPid)));
}

}  // namespace
}  // namespace Norv::Testing
