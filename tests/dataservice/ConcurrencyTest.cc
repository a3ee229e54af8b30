// The reference data service under concurrent calls while another
// connection writes to the project, directly and through the bridge over a
// real socket: every call answers, none faults.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "norv/interop/MirnDataService.h"
#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "servers/dataservice/SqliteDataService.h"
#include "tests/support/TestSupport.h"

namespace Norv::Servers {
namespace {

ServiceString S(const std::string& utf8) { return ServiceString::FromUtf8(utf8); }

TEST(ReferenceServiceConcurrencyTest, ConcurrentQueriesBesideAWriter) {
  Testing::TempDir dir;
  const auto file = dir.Path() / "project.db";
  std::int64_t rob = 0;
  {
    ProjectWriter writer(file);
    writer.Begin();
    std::int64_t project = writer.AddProject("p", "P");
    writer.AddUser(project, "ada", "a", true, false, PasswordHashCost::kMinimal);
    rob = writer.AddUser(project, "rob", "r", false, false, PasswordHashCost::kMinimal);
    std::int64_t author = writer.AddAuthor(project, "Zoë");
    std::int32_t decline = writer.AddTemplate(author, "Decline");
    std::int64_t budget = writer.AddNamedForecast(author, "Budget");
    for (std::int32_t id = 1; id <= 200; ++id) {
      writer.AddBorehole(project, id, "B");
      writer.SetForecast(decline, id, id * 2.0, id * 1.0, DateTime{2030, 1, 1});
    }
    for (std::int32_t id = 1; id <= 200; ++id) {
      writer.AddNamedForecastEntry(budget, 201 - id, id * 3.0, id, DateTime{2030, 1, 1});
    }
    writer.Commit();
  }
  SqliteDataService service(file);

  constexpr int kThreads = 6;
  constexpr int kCallsPerThread = 150;
  std::atomic<int> failures{0};
  std::atomic<bool> readersDone{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const ServiceString p = S("p"), u = S(t % 2 == 0 ? "ada" : "rob"), w = S(t % 2 ? "r" : "a");
      for (int i = 0; i < kCallsPerThread; ++i) {
        try {
          switch (i % 4) {
            case 0:
              if (service.IsProjectAdmin(p, u, w) != (t % 2 == 0)) ++failures;
              break;
            case 1:
              service.IsUserRestricted(p, u, w);  // the writer flips it
              break;
            case 2:
              if (service.GetForecastEUR(p, u, w, 1 + i % 200, S("Decline"), S("Zoë")) !=
                  (1 + i % 200) * 2.0) {
                ++failures;
              }
              break;
            case 3:
              if (service.GetForecastEURList(p, u, w, S("Budget"), S("Zoë"))->size() != 200) {
                ++failures;
              }
              break;
          }
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
          ++failures;
        }
      }
    });
  }
  std::thread writerThread([&] {
    ProjectWriter writer(file);
    bool restricted = false;
    while (!readersDone.load()) {
      restricted = !restricted;
      writer.SetUserFlags(rob, false, restricted);
    }
  });
  for (auto& thread : threads) thread.join();
  readersDone = true;
  writerThread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ReferenceServiceConcurrencyTest, BridgeCallsFromManyThreads) {
  using Norv::MirnDataService::Interop::MirnDataService;
  Testing::PrivatePipeDir pipes;
  Testing::TempDir dir;
  const auto file = dir.Path() / "project.db";
  {
    ProjectWriter writer(file);
    writer.Begin();
    std::int64_t project = writer.AddProject("p", "P");
    writer.AddUser(project, "ada", "a", true, false, PasswordHashCost::kMinimal);
    writer.AddUser(project, "rob", "r", false, true, PasswordHashCost::kMinimal);
    std::int64_t author = writer.AddAuthor(project, "Zoe");
    std::int64_t budget = writer.AddNamedForecast(author, "Budget");
    for (std::int32_t id = 1; id <= 50; ++id) writer.AddBorehole(project, id, "B");
    for (std::int32_t id = 1; id <= 50; ++id) {
      writer.AddNamedForecastEntry(budget, 51 - id, id, id, DateTime{2030, 1, id % 28 + 1});
    }
    writer.Commit();
  }
  constexpr int kPid = 4100041;
  auto host = NewDataServiceHost(std::make_shared<SqliteDataService>(file), kPid);
  host->Open();

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      char p[] = "p", forecast[] = "Budget", author[] = "Zoe";
      char ada[] = "ada", a[] = "a", rob[] = "rob", r[] = "r";
      char* user = t % 2 ? rob : ada;
      char* password = t % 2 ? r : a;
      for (int i = 0; i < 50; ++i) {
        try {
          if (MirnDataService::IsProjectAdmin(p, user, password, kPid) != (t % 2 == 0)) {
            ++failures;
          }
          auto list =
              MirnDataService::GetForecastEURList(p, user, password, kPid, forecast, author);
          if (list.size() != 50 || list.front().key != 50 || list.back().key != 1) ++failures;
          if (i % 10 == 0) MirnDataService::LogOn(p, user, password, author);
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  host->Close();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace Norv::Servers
