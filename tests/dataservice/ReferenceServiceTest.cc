// The reference data service on its own (no channel in between): answers,
// credential checks and their memory, faults, database replacement, the demo
// project.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "servers/dataservice/DemoProject.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "servers/dataservice/SqliteDataService.h"
#include "services/CustomPassword.h"
#include "tests/support/TestSupport.h"

namespace Norv::Servers {
namespace {

using ServiceModel::Contracts::Data::DoubleResultSet;
using ServiceModel::Contracts::Data::StringResultSet;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

ServiceString S(const char* utf8) { return ServiceString::FromUtf8(utf8); }

std::string FaultText(const std::function<void()>& call) {
  try {
    call();
  } catch (const DataServiceFault& e) {
    return e.what();
  }
  return "(no fault)";
}

// A small project: two users, two authors, three boreholes, one template
// with forecasts, one named forecast whose entries are not in id order.
class ReferenceServiceTest : public ::testing::Test {
 protected:
  ReferenceServiceTest() : file_(dir_.Path() / "project.db") {
    ProjectWriter writer(file_);
    writer.Begin();
    std::int64_t project = writer.AddProject("fields/north", "North");
    admin_ = writer.AddUser(project, "ada", "s3cret", true, false, PasswordHashCost::kMinimal);
    writer.AddUser(project, "rob", "pa55", false, true, PasswordHashCost::kMinimal);
    std::int64_t zoe = writer.AddAuthor(project, "Zoë");
    writer.AddAuthor(project, "Ben");
    for (std::int32_t id : {7, 3, 9}) writer.AddBorehole(project, id, "B" + std::to_string(id));
    templateId_ = writer.AddTemplate(zoe, "Decline");
    writer.SetForecast(templateId_, 9, 120.5, 80.25, DateTime{2031, 3, 7, 14, 30});
    writer.SetForecast(templateId_, 3, 99.0, 10.0, DateTime{2040, 12, 31});
    std::int64_t budget = writer.AddNamedForecast(zoe, "Budget");
    writer.AddNamedForecastEntry(budget, 9, 300.0, 200.0, DateTime{2030, 1, 1});
    writer.AddNamedForecastEntry(budget, 3, 100.0, 50.0, DateTime{2029, 6, 30});
    writer.AddNamedForecastEntry(budget, 9, 1.5, 0.5, DateTime{2028, 2, 29});
    writer.AddNamedForecast(zoe, "Empty");
    writer.Commit();
  }

  SqliteDataService& Service(DataServiceOptions options = {}) {
    service_ = std::make_unique<SqliteDataService>(file_, std::move(options));
    return *service_;
  }

  Testing::TempDir dir_;
  std::filesystem::path file_;
  std::int64_t admin_ = 0;
  std::int32_t templateId_ = 0;
  std::unique_ptr<SqliteDataService> service_;
};

TEST_F(ReferenceServiceTest, AnswersFromTheProject) {
  SqliteDataService& s = Service();
  const ServiceString p = S("fields/north"), u = S("ada"), w = S("s3cret");
  EXPECT_TRUE(s.IsProjectAdmin(p, u, w));
  EXPECT_FALSE(s.IsUserRestricted(p, u, w));
  EXPECT_FALSE(s.IsProjectAdmin(p, S("rob"), S("pa55")));
  EXPECT_TRUE(s.IsUserRestricted(p, S("rob"), S("pa55")));
  EXPECT_TRUE(s.IsDatabaseCanBeConnected(p, u, w));
  EXPECT_THAT(*s.GetAuthors(p, u, w), ElementsAre(S("Ben"), S("Zoë")));

  EXPECT_DOUBLE_EQ(s.GetForecastEUR(p, u, w, 9, S("Decline"), S("Zoë")), 120.5);
  EXPECT_DOUBLE_EQ(s.GetForecastReserve(p, u, w, 9, S("Decline"), S("Zoë")), 80.25);
  EXPECT_EQ(s.GetForecastLife(p, u, w, 9, S("Decline"), S("Zoë")), (DateTime{2031, 3, 7, 14, 30}));
  EXPECT_THAT(*s.GetBoreholeIdsWithForecast(p, u, w, S("Decline"), S("Zoë")), ElementsAre(3, 9));
  EXPECT_THAT(*s.GetForecastTemplatesByAuthor(p, u, w, S("Zoë")),
              ElementsAre(StringResultSet(templateId_, S("Decline"))));
  EXPECT_TRUE(s.GetForecastTemplatesByAuthor(p, u, w, S("Ben"))->empty());

  // Named forecast entries come back in the order they were stored.
  EXPECT_THAT(
      *s.GetForecastEURList(p, u, w, S("Budget"), S("Zoë")),
      ElementsAre(DoubleResultSet(9, 300.0), DoubleResultSet(3, 100.0), DoubleResultSet(9, 1.5)));
  EXPECT_THAT(
      *s.GetForecastReserveList(p, u, w, S("Budget"), S("Zoë")),
      ElementsAre(DoubleResultSet(9, 200.0), DoubleResultSet(3, 50.0), DoubleResultSet(9, 0.5)));
  auto lives = *s.GetForecastLifeList(p, u, w, S("Budget"), S("Zoë"));
  ASSERT_EQ(lives.size(), 3u);
  EXPECT_EQ(lives[1]->Id(), 3);
  EXPECT_EQ(lives[1]->Value(), (DateTime{2029, 6, 30}));
  EXPECT_EQ(lives[2]->Value(), (DateTime{2028, 2, 29}));
  EXPECT_TRUE(s.GetForecastEURList(p, u, w, S("Empty"), S("Zoë"))->empty());
}

TEST_F(ReferenceServiceTest, FaultsSayWhatIsWrong) {
  SqliteDataService& s = Service();
  const ServiceString p = S("fields/north"), u = S("ada"), w = S("s3cret");
  EXPECT_THAT(FaultText([&] { s.IsProjectAdmin(p, u, S("S3CRET")); }),
              HasSubstr("wrong password for user \"ada\" of project \"fields/north\""));
  EXPECT_THAT(FaultText([&] { s.IsProjectAdmin(p, u, ServiceString::Null()); }),
              HasSubstr("wrong password"));
  EXPECT_THAT(FaultText([&] { s.IsProjectAdmin(p, S("eve"), w); }),
              HasSubstr("project \"fields/north\" has no user \"eve\""));
  EXPECT_THAT(FaultText([&] { s.GetAuthors(S("fields/south"), u, w); }),
              HasSubstr("has no project \"fields/south\""));
  // Credentials are checked by every query, not only by the log-on.
  EXPECT_THAT(FaultText([&] { s.GetForecastEURList(p, u, S("x"), S("Budget"), S("Zoë")); }),
              HasSubstr("wrong password"));
  EXPECT_THAT(FaultText([&] { s.GetForecastEUR(p, u, w, 7, S("Decline"), S("Zoë")); }),
              HasSubstr("has no EUR for borehole 7"));
  EXPECT_THAT(FaultText([&] { s.GetForecastLife(p, u, w, 9, S("Decline"), S("Ann")); }),
              HasSubstr("project \"fields/north\" has no author \"Ann\""));
  EXPECT_THAT(FaultText([&] { s.GetBoreholeIdsWithForecast(p, u, w, S("Nope"), S("Zoë")); }),
              HasSubstr("has no forecast template \"Nope\""));
  EXPECT_THAT(FaultText([&] { s.GetForecastLifeList(p, u, w, S("Nope"), S("Zoë")); }),
              HasSubstr("has no named forecast \"Nope\""));
  EXPECT_THAT(FaultText([&] { s.LogOn(p, u, w, S("Ann")); }), HasSubstr("no author \"Ann\""));
}

TEST_F(ReferenceServiceTest, RemembersVerifiedCredentialsForAWhile) {
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  DataServiceOptions options;
  options.credentialLifetime = std::chrono::seconds(60);
  options.clock = [&now] { return now; };
  SqliteDataService& s = Service(options);
  const ServiceString p = S("fields/north"), u = S("ada"), w = S("s3cret");

  EXPECT_TRUE(s.IsProjectAdmin(p, u, w));
  EXPECT_TRUE(s.IsProjectAdmin(p, u, w));
  s.GetAuthors(p, u, w);
  EXPECT_EQ(s.SlowChecks(), 1u);

  // Wrong passwords are never remembered: each costs the slow hash.
  EXPECT_THROW(s.IsProjectAdmin(p, u, S("guess")), DataServiceFault);
  EXPECT_THROW(s.IsProjectAdmin(p, u, S("guess")), DataServiceFault);
  EXPECT_EQ(s.SlowChecks(), 3u);

  now += std::chrono::seconds(61);
  EXPECT_TRUE(s.IsProjectAdmin(p, u, w));
  EXPECT_EQ(s.SlowChecks(), 4u);

  // A changed password takes effect at once, remembered or not.
  {
    ProjectWriter writer(file_);
    writer.SetPassword(admin_, "n3w", PasswordHashCost::kMinimal);
    writer.SetUserFlags(admin_, false, true);
  }
  EXPECT_THAT(FaultText([&] { s.IsProjectAdmin(p, u, w); }), HasSubstr("wrong password"));
  EXPECT_FALSE(s.IsProjectAdmin(p, u, S("n3w")));
  EXPECT_TRUE(s.IsUserRestricted(p, u, S("n3w")));
}

TEST_F(ReferenceServiceTest, AcceptsAnEncryptedPassword) {
  Testing::TempDir config;
  Testing::ScopedEnv configHome("XDG_CONFIG_HOME", config.Path().string());
  SqliteDataService& s = Service();
  const ServiceString p = S("fields/north"), u = S("ada");
  using Security::CustomPassword;
  // Each encryption differs (fresh nonce); both count as the one password,
  // so the slow hash runs once.
  EXPECT_TRUE(s.IsProjectAdmin(p, u, CustomPassword::EncryptPassword(S("s3cret"))));
  EXPECT_TRUE(s.IsProjectAdmin(p, u, CustomPassword::EncryptPassword(S("s3cret"))));
  EXPECT_TRUE(s.IsProjectAdmin(p, u, S("s3cret")));
  EXPECT_EQ(s.SlowChecks(), 1u);
  EXPECT_THAT(FaultText([&] { s.IsProjectAdmin(p, u, CustomPassword::EncryptPassword(S("x"))); }),
              HasSubstr("wrong password"));
  EXPECT_THAT(FaultText([&] { s.IsProjectAdmin(p, u, S("norv1:AAAA")); }),
              HasSubstr("looks encrypted but cannot be decrypted"));
}

TEST_F(ReferenceServiceTest, ReportsADatabaseThatCannotBeUsed) {
  SqliteDataService& s = Service();
  const ServiceString p = S("fields/north"), u = S("ada"), w = S("s3cret");
  EXPECT_TRUE(s.IsProjectAdmin(p, u, w));  // leaves a pooled connection behind

  std::filesystem::rename(file_, dir_.Path() / "moved.db");
  EXPECT_FALSE(s.IsDatabaseCanBeConnected(p, u, w));
  EXPECT_THAT(FaultText([&] { s.IsProjectAdmin(p, u, w); }),
              HasSubstr("cannot open database " + file_.string()));

  { std::ofstream(file_) << "this is not a database, just text that is long enough to look odd"; }
  EXPECT_FALSE(s.IsDatabaseCanBeConnected(p, u, w));
  EXPECT_THAT(FaultText([&] { s.GetAuthors(p, u, w); }), HasSubstr(file_.string()));

  std::filesystem::remove(file_);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE t (x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_THAT(FaultText([&] { s.GetAuthors(p, u, w); }), HasSubstr("is not a project database"));

  // A replaced file is read afresh, not through connections to the old one.
  std::filesystem::rename(dir_.Path() / "moved.db", file_);
  EXPECT_TRUE(s.IsDatabaseCanBeConnected(p, u, w));
  {
    ProjectWriter writer(dir_.Path() / "other.db");
    std::int64_t project = writer.AddProject("fields/north", "North again");
    writer.AddUser(project, "ada", "s3cret", false, false, PasswordHashCost::kMinimal);
  }
  EXPECT_TRUE(s.IsProjectAdmin(p, u, w));
  std::filesystem::rename(dir_.Path() / "other.db", file_);
  EXPECT_FALSE(s.IsProjectAdmin(p, u, w));
}

TEST_F(ReferenceServiceTest, SeesEveryChangeThroughALinkedDirectoryToo) {
  // The file's events cannot be watched through a link: each call checks.
  std::filesystem::create_directory_symlink(dir_.Path(), dir_.Path() / "link");
  SqliteDataService service(dir_.Path() / "link" / "project.db");
  const ServiceString p = S("fields/north"), u = S("ada"), w = S("s3cret");
  EXPECT_TRUE(service.IsProjectAdmin(p, u, w));
  ProjectWriter(file_).SetUserFlags(admin_, false, true);
  EXPECT_FALSE(service.IsProjectAdmin(p, u, w));
  EXPECT_TRUE(service.IsUserRestricted(p, u, w));
  std::filesystem::rename(file_, dir_.Path() / "moved.db");
  EXPECT_THAT(FaultText([&] { service.IsUserRestricted(p, u, w); }),
              HasSubstr("cannot open database"));
}

TEST_F(ReferenceServiceTest, LogOnRecordsOneRowAndHoldsNoLock) {
  SqliteDataService& s = Service();
  s.LogOn(S("fields/north"), S("rob"), S("pa55"), S("Zoë"));
  s.LogOn(S("fields/north"), S("rob"), S("pa55"), S(""));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
  // A writer gets its lock at once: the service left no transaction open.
  sqlite3_busy_timeout(db, 0);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE; COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db, "SELECT author FROM logons ORDER BY logon_id", -1, &query, nullptr),
      SQLITE_OK);
  std::vector<std::string> authors;
  while (sqlite3_step(query) == SQLITE_ROW) {
    authors.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)));
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  EXPECT_THAT(authors, ElementsAre("Zoë", ""));
}

TEST(DemoProjectTest, WritesAProjectTheServiceAnswers) {
  Testing::TempDir dir;
  DemoProjectOptions options;
  options.adminPassword = "admin-pw";
  options.cost = PasswordHashCost::kMinimal;
  options.boreholes = 250;
  DemoProjectSummary summary = CreateDemoProject(dir.Path() / "demo.db", options);
  EXPECT_FALSE(summary.adminPasswordGenerated);
  EXPECT_TRUE(summary.restrictedPasswordGenerated);
  EXPECT_EQ(summary.restrictedPassword.size(), 20u);
  EXPECT_GE(summary.authors.size(), 3u);
  ASSERT_FALSE(summary.namedForecasts.empty());

  SqliteDataService s(dir.Path() / "demo.db");
  const ServiceString p = S("demo");
  const ServiceString adminName = S("admin"), adminPassword = S("admin-pw");
  EXPECT_TRUE(s.IsProjectAdmin(p, adminName, adminPassword));
  ServiceString viewer = S("viewer"), viewerPassword = S(summary.restrictedPassword.c_str());
  EXPECT_TRUE(s.IsUserRestricted(p, viewer, viewerPassword));
  EXPECT_FALSE(s.IsProjectAdmin(p, viewer, viewerPassword));
  EXPECT_EQ(s.GetAuthors(p, adminName, adminPassword)->size(), summary.authors.size());

  const DemoNamedForecast& named = summary.namedForecasts.front();
  auto eur = *s.GetForecastEURList(p, adminName, adminPassword, S(named.name.c_str()),
                                   S(named.author.c_str()));
  ASSERT_EQ(eur.size(), static_cast<std::size_t>(named.entries));
  ASSERT_GT(eur.size(), 100u);
  EXPECT_TRUE(std::is_sorted(eur.begin(), eur.end(),
                             [](const auto& a, const auto& b) { return a->Value() > b->Value(); }));
  EXPECT_FALSE(std::is_sorted(eur.begin(), eur.end(),
                              [](const auto& a, const auto& b) { return a->Id() < b->Id(); }));

  // An existing file is never replaced.
  auto before = std::filesystem::file_size(dir.Path() / "demo.db");
  EXPECT_THROW(CreateDemoProject(dir.Path() / "demo.db", options), std::runtime_error);
  EXPECT_EQ(std::filesystem::file_size(dir.Path() / "demo.db"), before);
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    // Only the database and SQLite's own -wal and -shm files: no temporary.
    EXPECT_THAT(entry.path().filename().string(), ::testing::StartsWith("demo.db"));
    EXPECT_THAT(entry.path().filename().string(), ::testing::Not(HasSubstr("demo.db.")));
  }
}

TEST(ProjectDatabaseTest, ReadsOnlyRealDates) {
  using internal::DateTimeFromText;
  EXPECT_EQ(DateTimeFromText("2028-02-29"), (DateTime{2028, 2, 29}));
  EXPECT_EQ(DateTimeFromText("2011-03-07T23:59:01"), (DateTime{2011, 3, 7, 23, 59, 1}));
  EXPECT_EQ(DateTimeFromText(internal::DateTimeToText(DateTime{9, 1, 2, 3, 4, 5})),
            (DateTime{9, 1, 2, 3, 4, 5}));
  for (const char* bad : {"2027-02-29", "2027-13-01", "2027-1-01", "2027-01-01 24:00:00",
                          "0000-01-01", "2027-01-01x", "", "+027-01-01"}) {
    EXPECT_FALSE(DateTimeFromText(bad)) << bad;
  }
}

}  // namespace
}  // namespace Norv::Servers
