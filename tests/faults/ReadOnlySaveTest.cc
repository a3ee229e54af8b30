// A read-only author directory during a save. Root writes anywhere, so the
// save runs in a helper process that gives up root's rights first (or as
// the test's own user when that is not root): the directory's mode binds it
// for real. The save must fail naming the document, and leave the old
// document whole and no temporary file behind.
#include <sys/stat.h>
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
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

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
  Testing::ChildProcess helper({NORV_FAULTS_SAVE_HELPER, dir, std::to_string(kNobody)});
  HelperResult result;
  result.status = helper.Finish();
  result.output = helper.Out();
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
