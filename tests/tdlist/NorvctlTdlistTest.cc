// norvctl's tdlist commands, run as real processes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;

struct Result {
  int status = -1;
  std::string output;  // stdout and stderr together
};

Result Norvctl(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
  std::vector<char*> argv{const_cast<char*>(NORV_NORVCTL), const_cast<char*>("tdlist")};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, NORV_NORVCTL, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  Result result;
  if (error == 0) {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(out[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) result.output.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ::close(out[0]);
  return result;
}

TEST(NorvctlTdlistTest, SetModeSaveAndShowGoThroughTheDocument) {
  Norv::Testing::TempDir dir;
  const std::string d = dir.Path().string();
  EXPECT_EQ(Norvctl({"show", d}).output,
            "list none\nmode 0\nlast-borehole-id 0\nlast-td-chart-id 0\n");

  Result refused =
      Norvctl({"save", d, "--pair", "1=2", "--last-borehole", "1", "--last-chart", "2"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.output, HasSubstr("no preferred TD list is saved in " + d));

  ASSERT_EQ(
      Norvctl({"set-mode", d, "2", "--pair", "5=50", "--pair", "2=20", "--last-chart", "9"}).status,
      0);
  ASSERT_EQ(Norvctl({"save", d, "--pair", "7=70", "--pair", "-1=10", "--last-borehole", "7",
                     "--last-chart", "3"})
                .status,
            0);
  EXPECT_EQ(Norvctl({"show", d}).output,
            "list present\nmode 2\nlast-borehole-id 7\nlast-td-chart-id 3\npair -1=10\npair "
            "7=70\n");
  // Without --pair the pairs stay; a last id not given is stored as 0.
  ASSERT_EQ(Norvctl({"set-mode", d, "1", "--last-borehole", "4"}).status, 0);
  EXPECT_EQ(Norvctl({"show", d}).output,
            "list present\nmode 1\nlast-borehole-id 4\nlast-td-chart-id 0\npair -1=10\npair "
            "7=70\n");
}

TEST(NorvctlTdlistTest, BadArgumentsAndMissingDirectoriesFailClearly) {
  Norv::Testing::TempDir dir;
  const std::string d = dir.Path().string();
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"set-mode", d, "3"}, "mode 3 is neither 1 nor 2"},
      {{"set-mode", d, "1", "--pair", "1=x"}, "the TD id of --pair 'x' is not a 32-bit integer"},
      {{"set-mode", d, "1", "--pair", "4=1", "--pair", "4=2"}, "borehole 4 is given twice"},
      {{"set-mode", d + "/missing", "1"}, "the author directory " + d + "/missing does not exist"},
      {{"set-mode", "", "1"}, "no author directory was named"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Result result = Norvctl(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.output,
                ::testing::AllOf(::testing::StartsWith("norvctl: "), HasSubstr(c.message)));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

}  // namespace
