// The bridge against the reference data service on a temporary project,
// over a real socket: credentials, access flags, lists in their stored
// order, faults with their text, log-on records and encrypted passwords.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "norv/interop/MirnDataService.h"
#include "norv/interop/Settings.h"
#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "servers/dataservice/SqliteDataService.h"
#include "services/NamedPipeServiceHost.h"
#include "services/Text.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

using Norv::MirnDataService::Interop::MirnDataService;
using Servers::PasswordHashCost;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int kPid = 4100011;

char* C(const char* text) { return const_cast<char*>(text); }

MATCHER_P2(Pair, key, value, "") { return arg.key == key && arg.value == value; }

std::string What(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(returned)";
}

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() : file_(dir_.Path() / "north.db") {
    Servers::ProjectWriter writer(file_);
    writer.Begin();
    std::int64_t project = writer.AddProject("north", "North");
    writer.AddUser(project, "ada", "s3cret", true, false, PasswordHashCost::kMinimal);
    writer.AddUser(project, "rob", "pa55", false, true, PasswordHashCost::kMinimal);
    std::int64_t zoe = writer.AddAuthor(project, "Zoe");
    writer.AddAuthor(project, "Ben");
    for (std::int32_t id : {101, 102, 103}) writer.AddBorehole(project, id, "B");
    std::int32_t decline = writer.AddTemplate(zoe, "Decline");
    writer.AddTemplate(zoe, "Type curve");
    writer.SetForecast(decline, 103, 250.5, 100.25, DateTime{2031, 3, 7, 14, 30});
    writer.SetForecast(decline, 101, 90.0, 45.0, DateTime{2029, 12, 31});
    std::int64_t budget = writer.AddNamedForecast(zoe, "Budget");
    writer.AddNamedForecastEntry(budget, 103, 250.5, 100.25, DateTime{2031, 3, 7});
    writer.AddNamedForecastEntry(budget, 101, 90.0, 45.0, DateTime{2029, 12, 31});
    writer.AddNamedForecastEntry(budget, 102, 12.0, 6.0, DateTime{2027, 1, 2});
    writer.Commit();
    service_ = std::make_shared<Servers::SqliteDataService>(file_);
  }

  ~EndToEndTest() override {
    for (auto& host : hosts_) host->Close();
  }

  void Serve(int pid) {
    hosts_.push_back(Servers::NewDataServiceHost(service_, pid));
    hosts_.back()->Open();
  }

  int Logons() {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM logons", -1, &query, nullptr);
    sqlite3_step(query);
    int count = sqlite3_column_int(query, 0);
    sqlite3_finalize(query);
    sqlite3_close(db);
    return count;
  }

  PrivatePipeDir pipes_;
  TempDir dir_;
  std::filesystem::path file_;
  std::shared_ptr<Servers::SqliteDataService> service_;
  std::vector<std::unique_ptr<ServiceModel::NamedPipeServiceHost>> hosts_;
};

TEST_F(EndToEndTest, AnswersTheRightCredentialsAndRefusesTheWrongOnes) {
  Serve(kPid);
  char* p = C("north");
  EXPECT_TRUE(MirnDataService::IsProjectAdmin(p, C("ada"), C("s3cret"), kPid));
  EXPECT_FALSE(MirnDataService::IsUserRestricted(p, C("ada"), C("s3cret"), kPid));
  EXPECT_FALSE(MirnDataService::IsProjectAdmin(p, C("rob"), C("pa55"), kPid));
  EXPECT_TRUE(MirnDataService::IsUserRestricted(p, C("rob"), C("pa55"), kPid));
  EXPECT_TRUE(MirnDataService::IsDatabaseCanBeConnected(p, C("rob"), C("pa55"), kPid));

  EXPECT_THAT(What([&] { MirnDataService::IsProjectAdmin(p, C("ada"), C("pa55"), kPid); }),
              HasSubstr("wrong password for user \"ada\" of project \"north\""));
  EXPECT_THAT(What([&] { MirnDataService::IsProjectAdmin(p, C("ada"), nullptr, kPid); }),
              HasSubstr("wrong password"));
  EXPECT_THAT(What([&] { MirnDataService::GetAuthors(C("south"), C("ada"), C("s3cret"), kPid); }),
              HasSubstr("no project \"south\""));
  EXPECT_THAT(What([&] { MirnDataService::IsUserRestricted(p, C("eve"), C("x"), kPid); }),
              HasSubstr("no user \"eve\""));

  std::filesystem::rename(file_, dir_.Path() / "away.db");
  EXPECT_FALSE(MirnDataService::IsDatabaseCanBeConnected(p, C("rob"), C("pa55"), kPid));
  EXPECT_THAT(What([&] { MirnDataService::IsProjectAdmin(p, C("ada"), C("s3cret"), kPid); }),
              HasSubstr("cannot open database"));
}

TEST_F(EndToEndTest, ListsAndValuesComeBackAsStored) {
  Serve(kPid);
  char* p = C("north");
  char* u = C("rob");
  char* w = C("pa55");
  EXPECT_THAT(MirnDataService::GetAuthors(p, u, w, kPid), ElementsAre("Ben", "Zoe"));
  EXPECT_THAT(MirnDataService::GetForecastTemplatesByAuthor(p, u, w, kPid, C("Zoe")),
              ElementsAre(Pair(1, "Decline"), Pair(2, "Type curve")));
  EXPECT_THAT(MirnDataService::GetBoreholeIdsWithForecast(p, u, w, kPid, C("Decline"), C("Zoe")),
              ElementsAre(101, 103));
  EXPECT_EQ(MirnDataService::GetForecastEUR(p, u, w, kPid, 103, C("Decline"), C("Zoe")), 250.5);
  EXPECT_EQ(MirnDataService::GetForecastReserve(p, u, w, kPid, 101, C("Decline"), C("Zoe")), 45.0);
  Text::SetCurrentCulture("en-US");
  EXPECT_EQ(MirnDataService::GetForecastLife(p, u, w, kPid, 103, C("Decline"), C("Zoe")),
            "3/7/2031");
  // The named forecast's own order, not the ids' order.
  EXPECT_THAT(MirnDataService::GetForecastEURList(p, u, w, kPid, C("Budget"), C("Zoe")),
              ElementsAre(Pair(103, 250.5), Pair(101, 90.0), Pair(102, 12.0)));
  EXPECT_THAT(MirnDataService::GetForecastReserveList(p, u, w, kPid, C("Budget"), C("Zoe")),
              ElementsAre(Pair(103, 100.25), Pair(101, 45.0), Pair(102, 6.0)));
  EXPECT_THAT(MirnDataService::GetForecastLifeList(p, u, w, kPid, C("Budget"), C("Zoe")),
              ElementsAre(Pair(103, "3/7/2031"), Pair(101, "12/31/2029"), Pair(102, "1/2/2027")));
  Text::ResetCurrentCulture();

  EXPECT_THAT(
      What([&] { MirnDataService::GetForecastEUR(p, u, w, kPid, 102, C("Decline"), C("Zoe")); }),
      HasSubstr("has no EUR for borehole 102"));
  EXPECT_THAT(What([&] { MirnDataService::GetForecastEURList(p, u, w, kPid, C("Q3"), C("Zoe")); }),
              HasSubstr("has no named forecast \"Q3\""));
}

TEST_F(EndToEndTest, LogOnIsRecordedOnlyWithTheRightPassword) {
  Serve(static_cast<int>(::getpid()));
  MirnDataService::LogOn(C("north"), C("rob"), C("pa55"), C("Zoe"));
  EXPECT_EQ(Logons(), 1);
  MirnDataService::LogOn(C("north"), C("rob"), C("wrong"), C("Zoe"));
  MirnDataService::LogOn(C("north"), C("rob"), C("pa55"), C("Nobody"));
  EXPECT_EQ(Logons(), 1);
}

TEST_F(EndToEndTest, AnEncryptedPasswordIsAccepted) {
  TempDir config;
  ScopedEnv configHome("XDG_CONFIG_HOME", config.Path().string());
  Serve(kPid);
  std::string encrypted = Norv::Interop::EncryptPassword(C("s3cret"));
  ASSERT_NE(encrypted, "s3cret");
  EXPECT_TRUE(MirnDataService::IsProjectAdmin(C("north"), C("ada"), encrypted.data(), kPid));
  std::string wrong = Norv::Interop::EncryptPassword(C("pa55"));
  EXPECT_THAT(
      What([&] { MirnDataService::IsProjectAdmin(C("north"), C("ada"), wrong.data(), kPid); }),
      HasSubstr("wrong password"));
}

}  // namespace
}  // namespace Norv::Testing
