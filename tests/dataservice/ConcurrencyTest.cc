// The reference data service under concurrent calls while another
// connection writes to the project: every call answers, none faults.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace Norv::Servers
