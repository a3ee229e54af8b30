// `norvctl demo` run as a real process: its table must show what the demo
// project holds (read here straight from the project database, through the
// reference service without any channel), the refusing subscriber must make
// the request answer false, and nothing may be left behind.
#include <sys/wait.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "servers/dataservice/SqliteDataService.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// The demo's fixed credentials and choices.
constexpr char kProject[] = "demo";
constexpr char kAdmin[] = "admin";
constexpr char kAdminPassword[] = "north-field-admin";
constexpr char kAuthor[] = "Amara Okafor";
constexpr char kNamedForecast[] = "Budget 2027";

struct DemoRun {
  std::vector<std::string> lines;
  int status = -1;

  // The text of the `occurrence`-th row of `call`: its first line and the
  // continuation lines below it (which start with blanks in the call column).
  std::string Row(const std::string& call, int occurrence = 0) const {
    const std::string start = "  " + call + " ";
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind(start, 0) != 0 || occurrence-- > 0) continue;
      std::string row = lines[i];
      for (std::size_t j = i + 1; j < lines.size() && lines[j].rfind("    ", 0) == 0 &&
                                  lines[j].find_first_not_of(' ') > 40;
           ++j) {
        row += "\n" + lines[j];
      }
      return row;
    }
    return "";
  }
  std::string All() const {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
  }
};

DemoRun RunDemo(const fs::path& dir) {
  Testing::ChildProcess demo(
      {(Testing::BinaryDir() / "tools/norvctl/norvctl").string(), "demo", "--dir", dir.string()});
  demo.CloseInput();
  DemoRun run;
  // Generous per-line bound; a healthy demo prints its lines within
  // milliseconds of each other.
  while (auto line = demo.ReadLine(std::chrono::seconds(120))) run.lines.push_back(*line);
  std::optional<int> status = demo.Wait(std::chrono::seconds(120));
  run.status = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  return run;
}

std::string Shortest(double value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

class DemoTest : public ::testing::Test {
 protected:
  // en-US short dates and code page 1252, whatever the machine's locale.
  Testing::ScopedEnv locale_{"LC_ALL", std::string("C")};
  Testing::ScopedEnv codePage_{"NORV_ANSI_CODEPAGE", std::nullopt};
  Testing::ScopedEnv datePattern_{"NORV_SHORT_DATE_PATTERN", std::nullopt};
  Testing::PrivatePipeDir pipes_;
  Testing::TempDir temp_;
};

TEST_F(DemoTest, ShowsTheProjectsValuesAndLeavesNothingBehind) {
  const fs::path dir = temp_.Path() / "demo";
  DemoRun run = RunDemo(dir);
  ASSERT_EQ(run.status, 0) << run.All();
  const std::string all = run.All();

  // The reference: the same project database, asked directly.
  Servers::SqliteDataService reference(dir / "project.db");
  const auto project = ServiceString::FromUtf8(kProject);
  const auto user = ServiceString::FromUtf8(kAdmin);
  const auto password = ServiceString::FromUtf8(kAdminPassword);
  const auto author = ServiceString::FromUtf8(kAuthor);

  auto authors = reference.GetAuthors(project, user, password);
  ASSERT_TRUE(authors.has_value());
  std::string authorsRow = run.Row("MirnDataService::GetAuthors");
  EXPECT_THAT(authorsRow, HasSubstr(std::to_string(authors->size()) + " authors"));
  for (const auto& name : *authors) EXPECT_THAT(authorsRow, HasSubstr(name.ToUtf8()));

  EXPECT_THAT(run.Row("MirnDataService::IsProjectAdmin"), HasSubstr("true"));
  EXPECT_THAT(run.Row("MirnDataService::IsUserRestricted", 0), HasSubstr("false"));
  EXPECT_THAT(run.Row("MirnDataService::IsUserRestricted", 1), HasSubstr("true"));
  EXPECT_THAT(run.Row("MirnDataService::LogOn"), HasSubstr("recorded 1 log-on"));

  // The single forecasts are asked for the first template and its first
  // borehole.
  auto templates = reference.GetForecastTemplatesByAuthor(project, user, password, author);
  ASSERT_TRUE(templates.has_value() && !templates->empty());
  const ServiceString templateName = (*templates)[0]->Value();
  auto boreholes =
      reference.GetBoreholeIdsWithForecast(project, user, password, templateName, author);
  ASSERT_TRUE(boreholes.has_value() && !boreholes->empty());
  const std::int32_t borehole = (*boreholes)[0];
  EXPECT_THAT(run.Row("MirnDataService::GetBoreholeIdsWithForecast"),
              HasSubstr(std::to_string(boreholes->size()) + " boreholes"));
  double eur = reference.GetForecastEUR(project, user, password, borehole, templateName, author);
  double reserve =
      reference.GetForecastReserve(project, user, password, borehole, templateName, author);
  DateTime life =
      reference.GetForecastLife(project, user, password, borehole, templateName, author);
  EXPECT_THAT(run.Row("MirnDataService::GetForecastEUR"),
              HasSubstr("borehole " + std::to_string(borehole)));
  EXPECT_THAT(run.Row("MirnDataService::GetForecastEUR"), HasSubstr("  " + Shortest(eur)));
  EXPECT_THAT(run.Row("MirnDataService::GetForecastReserve"), HasSubstr("  " + Shortest(reserve)));
  const std::string shortDate =
      std::to_string(life.month) + "/" + std::to_string(life.day) + "/" + std::to_string(life.year);
  EXPECT_THAT(run.Row("MirnDataService::GetForecastLife"), HasSubstr("  " + shortDate + " "));

  // The lists: their length and their first record, in the service's order.
  const auto forecast = ServiceString::FromUtf8(kNamedForecast);
  auto eurList = reference.GetForecastEURList(project, user, password, forecast, author);
  auto lifeList = reference.GetForecastLifeList(project, user, password, forecast, author);
  ASSERT_TRUE(eurList.has_value() && eurList->size() > 3);
  ASSERT_TRUE(lifeList.has_value() && lifeList->size() == eurList->size());
  const auto& firstEur = *(*eurList)[0];
  std::string eurRow = run.Row("MirnDataService::GetForecastEURList");
  EXPECT_THAT(eurRow, HasSubstr(std::to_string(eurList->size()) + " records"));
  EXPECT_THAT(eurRow,
              HasSubstr(std::to_string(firstEur.Id()) + ": " + Shortest(firstEur.Value()) + "\n"));
  EXPECT_THAT(eurRow, HasSubstr("..."));
  const auto& firstLife = *(*lifeList)[0];
  EXPECT_THAT(
      run.Row("MirnDataService::GetForecastLifeList"),
      HasSubstr(std::to_string(firstLife.Id()) + ": " + std::to_string(firstLife.Value().month) +
                "/" + std::to_string(firstLife.Value().day) + "/" +
                std::to_string(firstLife.Value().year)));

  // The TD list round trip, in the table and in the document on disk.
  EXPECT_THAT(run.Row("MirnDataService::PreferredTDListExist", 0), HasSubstr("false"));
  EXPECT_THAT(run.Row("MirnDataService::PreferredTDListExist", 1), HasSubstr("true"));
  EXPECT_THAT(run.Row("MirnDataService::GetPreferredTDList"),
              HasSubstr("{10001->3, 10002->1, 10004->2, 10007->5}"));
  EXPECT_THAT(run.Row("MirnDataService::GetPreferredTDLastBoreholeAndTDId"),
              HasSubstr("last borehole 10007, chart 5"));
  EXPECT_THAT(run.Row("MirnDataService::GetAuthorPreferredTDMode"), HasSubstr("mode 2"));
  std::ifstream document(dir / "authors" / kAuthor / "preferred-td-list.txt");
  std::stringstream documentText;
  documentText << document.rdbuf();
  EXPECT_THAT(documentText.str(), HasSubstr("mode 2\n"));
  EXPECT_THAT(documentText.str(), HasSubstr("pair 10007 5\n"));

  EXPECT_THAT(run.Row("SetAuthorPath"), HasSubstr((dir / "authors").string()));
  EXPECT_THAT(run.Row("EncryptPassword"), HasSubstr("norv1:"));
  EXPECT_THAT(run.Row("MirnDataService::IsProjectAdmin", 1), HasSubstr("true"));
  for (const char* tool : {"Trasko", "Wendal", "Orbisk"}) {
    EXPECT_THAT(run.Row(std::string("Halvane::Launch") + tool),
                HasSubstr(std::string("NORV_TOOL=") + tool + ", NORV_USER=admin"));
  }

  // One subscriber refuses, so the request answers false; both are forced
  // and end.
  EXPECT_THAT(run.Row("ShutdownFactory::RequestStopShutdownService"), HasSubstr("false"));
  EXPECT_THAT(all, HasSubstr("(key 1, answers yes): request: answered yes"));
  EXPECT_THAT(all, HasSubstr("(key 2, answers no): request: answered no"));
  EXPECT_THAT(all, HasSubstr("(key 2, answers no): force: shutting down, exited with status 0"));
  EXPECT_THAT(run.Row("ShutdownFactory::StopShutdownService"), HasSubstr("socket removed"));

  // The key was made in the demo's directory, and no endpoint file (socket
  // or lock) is left in the endpoint directory the demo was given.
  EXPECT_TRUE(fs::exists(dir / "config" / "norv" / "password.key"));
  const fs::path endpoints = std::getenv("NORV_PIPE_DIR");
  ASSERT_TRUE(fs::is_directory(endpoints));
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(endpoints)) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(left, ::testing::IsEmpty());
  EXPECT_THAT(all, Not(HasSubstr("failed")));
}

// A failure stops the tour at the call that failed, names it, and still
// ends everything the demo started. An unknown code page makes every string
// conversion fail; LogOn swallows that, so the demo notices through the
// service's log-on table.
TEST_F(DemoTest, AFailureNamesTheCallAndStillStopsEverything) {
  Testing::ScopedEnv badCodePage("NORV_ANSI_CODEPAGE", std::string("bogus"));
  const fs::path dir = temp_.Path() / "failing";
  const fs::path norvctl = Testing::BinaryDir() / "tools/norvctl/norvctl";
  Testing::ChildProcess demo({norvctl.string(), "demo", "--dir", dir.string()},
                             {.errors = Testing::ChildProcess::ErrorStream::kIntoOutput});
  demo.CloseInput();
  std::string all;
  std::vector<int> subscriberPids;
  while (auto line = demo.ReadLine(std::chrono::seconds(120))) {
    all += *line + "\n";
    int pid = 0;
    if (std::sscanf(line->c_str(), "%*[ ]subscriber process %d", &pid) == 1) {
      subscriberPids.push_back(pid);
    }
  }
  std::optional<int> status = demo.Wait(std::chrono::seconds(120));
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << all;
  EXPECT_THAT(all, HasSubstr("norvctl: MirnDataService::LogOn failed: the data service recorded "
                             "0 log-ons"));
  EXPECT_THAT(all, Not(HasSubstr("All calls succeeded")));
  // Both subscribers were started, and reaped: their ids name no process.
  ASSERT_EQ(subscriberPids.size(), 2u) << all;
  for (int pid : subscriberPids) EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));
  std::vector<std::string> left;
  const fs::path endpoints = std::getenv("NORV_PIPE_DIR");
  for (const auto& entry : fs::directory_iterator(endpoints)) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(left, ::testing::IsEmpty());
}

TEST_F(DemoTest, RefusesADirectoryThatIsNotEmptyAndNamesIt) {
  const fs::path dir = temp_.Path() / "busy";
  fs::create_directories(dir);
  std::ofstream(dir / "keep.txt") << "mine\n";
  Testing::ChildProcess demo(
      {(Testing::BinaryDir() / "tools/norvctl/norvctl").string(), "demo", "--dir", dir.string()});
  demo.CloseInput();
  while (demo.ReadLine()) {
  }
  std::optional<int> status = demo.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
  std::ifstream kept(dir / "keep.txt");
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "mine");
  EXPECT_FALSE(fs::exists(dir / "project.db"));
}

}  // namespace
}  // namespace Norv
