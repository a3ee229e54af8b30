// norvctl's tdlist commands, run as real processes.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using ::testing::HasSubstr;

struct Result {
  int status = -1;
  std::string output;  // stdout and stderr together
};

Result Norvctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {NORV_NORVCTL, "tdlist"};
  argv.insert(argv.end(), args.begin(), args.end());
  Norv::Testing::ChildProcess child(
      argv, {.errors = Norv::Testing::ChildProcess::ErrorStream::kIntoOutput});
  Result result;
  result.status = child.Finish();
  result.output = child.Out();
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
