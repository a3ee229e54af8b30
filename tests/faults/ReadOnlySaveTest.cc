// A read-only author directory during a save. Root writes anywhere, so the
// save runs in a helper process that gives up root's rights first (or as
// the test's own user when that is not root): the directory's mode binds it
// for real. The save must fail naming the document, and leave the old
// document whole and no temporary file behind.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "services/PreferredTDList.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace Norv::PreferredTDList {
namespace {

using Norv::Testing::TempDir;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr uid_t kNobody = 65534;

struct HelperResult {
  int status = -1;
  std::string output;
};

// Runs the save helper on `dir` and collects its exit status and output.
HelperResult RunSaveHelper(const std::string& dir) {
  int out[2];
  if (::pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string uid = std::to_string(kNobody);
  std::vector<char*> argv = {const_cast<char*>(NORV_FAULTS_SAVE_HELPER),
                             const_cast<char*>(dir.c_str()), const_cast<char*>(uid.c_str()),
                             nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, NORV_FAULTS_SAVE_HELPER, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  HelperResult result;
  if (rc != 0) {
    ::close(out[0]);
    return result;
  }
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof(buffer))) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string Contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Names(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReadOnlySaveTest, SaveIntoAReadOnlyDirectoryFailsNamingTheDocumentAndKeepsItWhole) {
  TempDir temp;
  ASSERT_EQ(::chmod(temp.Path().c_str(), 0755), 0);  // the helper's user must get through
  const std::filesystem::path author = temp.Path() / "author";
  ASSERT_TRUE(std::filesystem::create_directory(author));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(author.c_str(), kNobody, kNobody), 0);
  }

  PreferredTDListFile document(ServiceString::FromUtf8(author.string()));
  Collection<BoreholeTDId> pairs = std::vector<BoreholeTDId>(3);
  (*pairs)[1].SetBoreholeId(5);
  (*pairs)[1].SetTDId(6);
  document.SetAuthorPreferredTDMode(kPreferredTDModeLastChart, pairs, 41, 42);
  const BoreholeTDList before = document.GetPreferredTDList();

  // Writable: the helper's save goes through (so a failure below is the
  // directory's mode, not the helper's user).
  HelperResult control = RunSaveHelper(author.string());
  ASSERT_EQ(control.status, 0) << control.output;
  EXPECT_EQ(document.GetPreferredTDList().Pairs().size(), 1000u);
  document.SetAuthorPreferredTDMode(kPreferredTDModeLastChart, pairs, 41, 42);
  const std::string text = Contents(document.DocumentPath());
  const std::vector<std::string> names = Names(author);

  ASSERT_EQ(::chmod(author.c_str(), 0555), 0);
  HelperResult refused = RunSaveHelper(author.string());
  ASSERT_EQ(::chmod(author.c_str(), 0755), 0);
  ASSERT_EQ(refused.status, 3) << refused.output;
  EXPECT_THAT(
      refused.output,
      AllOf(StartsWith("cannot save the preferred TD list " + document.DocumentPath()),
            HasSubstr("Permission denied"), HasSubstr("\n" + document.DocumentPath() + "\n")));
  EXPECT_EQ(Contents(document.DocumentPath()), text);
  EXPECT_EQ(document.GetPreferredTDList(), before);
  EXPECT_EQ(document.GetAuthorPreferredTDMode(), kPreferredTDModeLastChart);
  EXPECT_EQ(Names(author), names) << "the failed save left a file behind";
}

}  // namespace
}  // namespace Norv::PreferredTDList
