// The store's promises across processes and threads: a saver killed at any
// moment leaves a readable document, and concurrent read-modify-writes lose
// no update.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/documents/DocumentStore.h"
#include "services/PreferredTDList.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::PreferredTDList {
namespace {

namespace fs = std::filesystem;
using internal::Document;

// The store helper with `args`.
std::vector<std::string> Helper(std::vector<std::string> args) {
  args.insert(args.begin(), NORV_TDLIST_STORE_HELPER);
  return args;
}

std::vector<std::string> Leftovers(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name != internal::kDocumentName && name != internal::kLockName) names.push_back(name);
  }
  return names;
}

// A document of the saver: generation g in every pair and both last ids.
void ExpectWholeDocument(const fs::path& directory, int pairCount, std::int32_t& generation) {
  const std::optional<Document> document = internal::ReadDocument(directory.string());
  if (!document) return;  // not saved yet
  const std::int32_t stored = document->list.LastBoreholeId();
  EXPECT_GE(stored, generation) << "a confirmed save was lost";
  generation = stored;
  EXPECT_EQ(document->list.LastTDChartId(), stored);
  EXPECT_EQ(document->mode, 1 + stored % 2);
  ASSERT_EQ(document->list.Pairs().size(), static_cast<std::size_t>(pairCount));
  for (int b = 0; b < pairCount; ++b) {
    ASSERT_EQ(document->list.Pairs()[b].BoreholeId(), b);
    ASSERT_EQ(document->list.Pairs()[b].TDId(), stored);
  }
}

TEST(StoreProcessTest, SaverKilledDuringSavesNeverLeavesAnUnreadableDocument) {
  Testing::TempDir dir;
  constexpr int kPairs = 1000;
  std::int32_t confirmed = 0;  // generations known to be complete
  for (int round = 0; round < 12 && !HasFatalFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Testing::ChildProcess saver(Helper({"save-loop", dir.Path().string(), std::to_string(kPairs)}));
    // Read the document over and over while the saver saves: a reader sees
    // the old or the new document, never a torn one. Then kill the saver
    // after a varying number of completed saves, with the next one under way
    // at a point that differs from round to round.
    const int saves = 1 + round % 4;
    for (int done = 0; done < saves;) {
      std::int32_t seen = confirmed;
      ExpectWholeDocument(dir.Path(), kPairs, seen);
      // A short pause when there is nothing, so that the loop leaves the
      // saver the processor.
      if (saver.Readable(std::chrono::milliseconds(1))) {
        ASSERT_TRUE(saver.Read(1)) << "the saver stopped early";
        ++done;
        ++confirmed;
      }
    }
    const int status = saver.Kill(SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(status));
    ExpectWholeDocument(dir.Path(), kPairs, confirmed);
  }
  // A killed save may leave its temporary file; the next save removes it.
  PreferredTDListFile file(ServiceString::FromUtf8(dir.Path().string()));
  EXPECT_TRUE(file.SaveExistingPreferredTDList(BoreholeTDList()));
  EXPECT_THAT(Leftovers(dir.Path()), ::testing::IsEmpty());
}

// Checks that every (tag, k) for k < count appears exactly once, in order.
void ExpectAllAppends(const Document& document, const std::vector<int>& tags, int count) {
  std::map<int, std::vector<int>> seen;
  for (const BoreholeTDId& pair : document.list.Pairs()) {
    seen[pair.BoreholeId()].push_back(pair.TDId());
  }
  std::vector<int> expected(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) expected[static_cast<std::size_t>(k)] = k;
  EXPECT_EQ(seen.size(), tags.size());
  for (int tag : tags) EXPECT_EQ(seen[tag], expected) << "appends of " << tag << " were lost";
}

TEST(StoreProcessTest, TwoProcessesSavingAtOnceLoseNothing) {
  Testing::TempDir dir;
  constexpr int kCount = 150;
  Testing::ChildProcess first(Helper({"append", dir.Path().string(), "1", std::to_string(kCount)}));
  Testing::ChildProcess second(
      Helper({"append", dir.Path().string(), "2", std::to_string(kCount)}));
  // Both are started and waiting before either saves.
  ASSERT_TRUE(first.Read(1));
  ASSERT_TRUE(second.Read(1));
  first.Write("g");
  second.Write("g");
  for (Testing::ChildProcess* child : {&first, &second}) {
    const int status = child->Wait(std::chrono::minutes(5)).value_or(-1);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  const std::optional<Document> document = internal::ReadDocument(dir.Path().string());
  ASSERT_TRUE(document.has_value());
  ExpectAllAppends(*document, {1, 2}, kCount);
}

TEST(StoreThreadsTest, ThreadsSavingAtOnceLoseNothing) {
  Testing::TempDir dir;
  constexpr int kThreads = 4;
  constexpr int kCount = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&dir, t] {
      for (int k = 0; k < kCount; ++k) {
        internal::UpdateDocument(dir.Path().string(), [&](const std::optional<Document>& current) {
          Document next = current.value_or(Document{});
          BoreholeTDId pair;
          pair.SetBoreholeId(t);
          pair.SetTDId(k);
          next.list.Pairs().push_back(pair);
          return std::optional<Document>(std::move(next));
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::optional<Document> document = internal::ReadDocument(dir.Path().string());
  ASSERT_TRUE(document.has_value());
  ExpectAllAppends(*document, {0, 1, 2, 3}, kCount);
}

}  // namespace
}  // namespace Norv::PreferredTDList
