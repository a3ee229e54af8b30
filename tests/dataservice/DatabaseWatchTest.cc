// The database watch: every change that can alter what the path names or
// holds moves the generation, at once; reading the database and changes
// beside it do not.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "servers/dataservice/DatabaseWatch.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "tests/support/TestSupport.h"

namespace Norv::Servers::internal {
namespace {

void Exec(const std::filesystem::path& file, const char* sql, int flags = SQLITE_OPEN_READWRITE) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, flags, nullptr), SQLITE_OK) << file;
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK)
      << sql << ": " << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

class DatabaseWatchTest : public ::testing::Test {
 protected:
  // The watch sees no links, so the test works below the real temporary
  // directory, whatever links lead to it.
  DatabaseWatchTest()
      : root_(std::filesystem::canonical(dir_.Path())),
        folder_(root_ / "fields" / "north"),
        file_(folder_ / "project.db") {
    std::filesystem::create_directories(folder_);
    ProjectWriter writer(file_);
    writer.AddProject("north", "North");
  }

  struct CloseReader {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
  };
  using Reader = std::unique_ptr<sqlite3, CloseReader>;

  // A read-only connection held open, as the service's pooled ones are,
  // after its first read.
  Reader OpenReader() {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    Reader reader(db);
    EXPECT_EQ(sqlite3_exec(db, "SELECT count(*) FROM projects", nullptr, nullptr, nullptr),
              SQLITE_OK);
    return reader;
  }

  Testing::TempDir dir_;
  std::filesystem::path root_;
  std::filesystem::path folder_;
  std::filesystem::path file_;
};

TEST_F(DatabaseWatchTest, ReadersAndNeighboursLeaveTheGenerationAlone) {
  // The first reader creates the WAL and its index, which counts once.
  Reader reader = OpenReader();
  DatabaseWatch watch(file_);
  ASSERT_TRUE(watch.Armed());
  auto generation = watch.Generation();

  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(
        sqlite3_exec(reader.get(), "SELECT count(*) FROM projects", nullptr, nullptr, nullptr),
        SQLITE_OK);
  }
  Exec(file_, "SELECT count(*) FROM users", SQLITE_OPEN_READONLY);
  { std::ofstream(folder_ / "notes.txt") << "beside the project"; }
  { std::ofstream(folder_ / "project.db.bak") << "a name that only starts alike"; }
  std::filesystem::rename(folder_ / "notes.txt", folder_ / "notes2.txt");
  std::filesystem::create_directory(root_ / "south");
  EXPECT_EQ(watch.Generation(), generation);
}

TEST_F(DatabaseWatchTest, EveryChangeToTheFileOrItsPathCountsAtOnce) {
  // A reader held open keeps the WAL in place, so that a commit only writes.
  Reader reader = OpenReader();
  DatabaseWatch watch(file_);
  ASSERT_TRUE(watch.Armed());
  auto last = watch.Generation();
  auto changed = [&] {
    auto now = watch.Generation();
    bool moved = now != last;
    last = watch.Generation();
    return moved;
  };

  Exec(file_, "UPDATE projects SET name = 'North 2'");
  EXPECT_TRUE(changed()) << "a commit";
  EXPECT_FALSE(changed());

  Exec(file_, "PRAGMA wal_checkpoint(TRUNCATE)");
  EXPECT_TRUE(changed()) << "a checkpoint";

  std::filesystem::rename(file_, folder_ / "moved.db");
  EXPECT_TRUE(changed()) << "the file renamed away";
  std::filesystem::copy_file(folder_ / "moved.db", file_);
  EXPECT_TRUE(changed()) << "a copy put in its place";
  std::filesystem::rename(folder_ / "moved.db", file_);
  EXPECT_TRUE(changed()) << "renamed over";
  std::filesystem::remove(file_);
  EXPECT_TRUE(changed()) << "removed";
  ProjectWriter(file_).AddProject("north", "North");
  EXPECT_TRUE(changed()) << "created anew";

  // A directory of the path renamed: the watch is blind until the path
  // leads to a directory again, and counts every look meanwhile.
  std::filesystem::rename(root_ / "fields", root_ / "elsewhere");
  EXPECT_TRUE(changed()) << "a directory of the path renamed";
  EXPECT_TRUE(changed());
  EXPECT_FALSE(watch.Armed());
  std::filesystem::create_directories(folder_);
  ProjectWriter(file_).AddProject("new", "New");
  EXPECT_TRUE(changed()) << "the path leads somewhere again";
  EXPECT_TRUE(watch.Armed());
  EXPECT_FALSE(changed());
  Exec(file_, "UPDATE projects SET name = 'New 2'");
  EXPECT_TRUE(changed()) << "a commit in the new place";
  // The old directory, now elsewhere, no longer matters.
  Exec(root_ / "elsewhere" / "north" / "project.db", "UPDATE projects SET name = 'Old'");
  EXPECT_FALSE(changed());
}

TEST_F(DatabaseWatchTest, ALinkOnThePathMakesEveryLookCount) {
  std::filesystem::create_directory_symlink(folder_, root_ / "link");
  DatabaseWatch watch(root_ / "link" / "project.db");
  EXPECT_FALSE(watch.Armed());
  auto first = watch.Generation();
  EXPECT_NE(watch.Generation(), first);
}

}  // namespace
}  // namespace Norv::Servers::internal
