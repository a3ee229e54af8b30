// The preferred-TD members of MirnDataService against the real document store
// in temporary directories.
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norv/interop/MirnDataService.h"
#include "services/PreferredTDList.h"
#include "services/Text.h"
#include "tests/support/TestSupport.h"

namespace Norv::MirnDataService::Interop {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Bridge = MirnDataService;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A temporary author directory with its name as the host passes it.
class AuthorDir {
 public:
  AuthorDir() : name_(dir_.Path().string()) {}
  char* Name() { return name_.data(); }
  fs::path Document() const { return dir_.Path() / "preferred-td-list.txt"; }
  void WriteDocument(int mode, const std::string& pairLines, int lastBorehole = 0,
                     int lastChart = 0) {
    WriteFile(Document(), "norv-preferred-td-list 1\nmode " + std::to_string(mode) +
                              "\nlast-borehole-id " + std::to_string(lastBorehole) +
                              "\nlast-td-chart-id " + std::to_string(lastChart) + "\n" + pairLines +
                              "end\n");
  }
  std::size_t EntryCount() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir_.Path()), fs::directory_iterator()));
  }

 private:
  Testing::TempDir dir_;
  std::string name_;
};

TEST(PreferredTDModeTest, ModesOneAndTwoMapBothWaysAndOtherStoredModesReadAsZero) {
  AuthorDir dir;
  const std::map<int, int> none;
  Bridge::SetAuthorPreferredTDMode(dir.Name(), Bridge::kPreferredTDModeOne, &none, nullptr,
                                   nullptr);
  EXPECT_THAT(ReadFile(dir.Document()), HasSubstr("\nmode 1\n"));
  EXPECT_EQ(Bridge::GetAuthorPreferredTDMode(dir.Name()), 1);
  Bridge::SetAuthorPreferredTDMode(dir.Name(), Bridge::kPreferredTDModeTwo, &none, nullptr,
                                   nullptr);
  EXPECT_THAT(ReadFile(dir.Document()), HasSubstr("\nmode 2\n"));
  EXPECT_EQ(Bridge::GetAuthorPreferredTDMode(dir.Name()), 2);
  for (int stored : {0, 3, -1, INT_MAX}) {
    dir.WriteDocument(stored, "");
    EXPECT_EQ(Bridge::GetAuthorPreferredTDMode(dir.Name()), 0) << "stored mode " << stored;
  }
}

TEST(PreferredTDModeTest, SetWithAnotherModeTouchesNothing) {
  const std::map<int, int> map{{1, 10}};
  const int last = 5;
  for (int value : {0, 3, -1}) {
    SCOPED_TRACE(value);
    const auto mode = static_cast<Bridge::Preferred_TDMode>(value);
    // The unnamed directory makes every document save raise: no raise means
    // no document call was made.
    EXPECT_NO_THROW(Bridge::SetAuthorPreferredTDMode(nullptr, mode, &map, &last, &last));
    AuthorDir empty;
    Bridge::SetAuthorPreferredTDMode(empty.Name(), mode, &map, &last, &last);
    EXPECT_EQ(empty.EntryCount(), 0u);  // not even a lock file
    AuthorDir existing;
    existing.WriteDocument(1, "pair 3 30\n", 7, 8);
    const std::string before = ReadFile(existing.Document());
    Bridge::SetAuthorPreferredTDMode(existing.Name(), mode, &map, &last, &last);
    EXPECT_EQ(ReadFile(existing.Document()), before);
  }
}

TEST(PreferredTDModeTest, NullMapKeepsStoredPairsAndNullIdsMeanZero) {
  AuthorDir dir;
  dir.WriteDocument(2, "pair 3 30\npair 1 10\n", 7, 8);
  Bridge::SetAuthorPreferredTDMode(dir.Name(), Bridge::kPreferredTDModeOne, nullptr, nullptr,
                                   nullptr);
  EXPECT_EQ(ReadFile(dir.Document()),
            "norv-preferred-td-list 1\nmode 1\nlast-borehole-id 0\nlast-td-chart-id 0\n"
            "pair 3 30\npair 1 10\nend\n");
  // An empty map is an empty collection: the pairs go.
  const std::map<int, int> empty;
  const int lastBorehole = 11;
  Bridge::SetAuthorPreferredTDMode(dir.Name(), Bridge::kPreferredTDModeOne, &empty, &lastBorehole,
                                   nullptr);
  EXPECT_EQ(ReadFile(dir.Document()),
            "norv-preferred-td-list 1\nmode 1\nlast-borehole-id 11\nlast-td-chart-id 0\nend\n");
}

TEST(PreferredTDModeTest, MapBecomesPairsInAscendingBoreholeOrder) {
  AuthorDir dir;
  const std::map<int, int> map{{5, 50}, {2, 20}, {-4, 0}};
  const int lastBorehole = 5;
  const int lastChart = 12;
  Bridge::SetAuthorPreferredTDMode(dir.Name(), Bridge::kPreferredTDModeTwo, &map, &lastBorehole,
                                   &lastChart);
  EXPECT_EQ(ReadFile(dir.Document()),
            "norv-preferred-td-list 1\nmode 2\nlast-borehole-id 5\nlast-td-chart-id 12\n"
            "pair -4 0\npair 2 20\npair 5 50\nend\n");
  EXPECT_TRUE(Bridge::PreferredTDListExist(dir.Name()));
}

TEST(PreferredTDListTest, ReadReplacesTheCallersMapAndTheLastDuplicateWins) {
  AuthorDir dir;
  dir.WriteDocument(1, "pair 3 30\npair 1 10\npair 3 31\n", 4, 5);
  std::map<int, int> map{{9, 1}};
  Bridge::GetPreferredTDList(dir.Name(), map);
  EXPECT_EQ(map, (std::map<int, int>{{1, 10}, {3, 31}}));

  dir.WriteDocument(1, "");
  map = {{9, 1}};
  Bridge::GetPreferredTDList(dir.Name(), map);
  EXPECT_TRUE(map.empty());

  AuthorDir withoutList;
  map = {{9, 1}};
  Bridge::GetPreferredTDList(withoutList.Name(), map);
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(Bridge::PreferredTDListExist(withoutList.Name()));
}

TEST(PreferredTDListTest, FailedReadLeavesTheCallersValuesAsTheyWere) {
  AuthorDir dir;
  WriteFile(dir.Document(), "norv-preferred-td-list 1\nmode 1\nlast-bore");
  std::map<int, int> map{{9, 1}};
  EXPECT_THAT([&] { Bridge::GetPreferredTDList(dir.Name(), map); },
              ::testing::ThrowsMessage<PreferredTDList::DocumentException>(
                  HasSubstr(dir.Document().string())));
  EXPECT_EQ(map, (std::map<int, int>{{9, 1}}));
  int lastBorehole = -99;
  int lastChart = -98;
  EXPECT_THROW(Bridge::GetPreferredTDLastBoreholeAndTDId(dir.Name(), lastBorehole, lastChart),
               PreferredTDList::DocumentException);
  EXPECT_EQ(lastBorehole, -99);
  EXPECT_EQ(lastChart, -98);
  EXPECT_THROW(Bridge::GetAuthorPreferredTDMode(dir.Name()), PreferredTDList::DocumentException);
}

TEST(PreferredTDListTest, LastIdsAreWrittenAlsoWithoutPairs) {
  AuthorDir dir;
  dir.WriteDocument(2, "", 17, -4);
  int lastBorehole = -99;
  int lastChart = -98;
  Bridge::GetPreferredTDLastBoreholeAndTDId(dir.Name(), lastBorehole, lastChart);
  EXPECT_EQ(lastBorehole, 17);
  EXPECT_EQ(lastChart, -4);

  AuthorDir withoutList;
  Bridge::GetPreferredTDLastBoreholeAndTDId(withoutList.Name(), lastBorehole, lastChart);
  EXPECT_EQ(lastBorehole, 0);
  EXPECT_EQ(lastChart, 0);
}

TEST(PreferredTDListTest, SaveExistingAnswersFalseWithoutAListAndKeepsTheMode) {
  AuthorDir dir;
  EXPECT_FALSE(Bridge::SaveExistingPreferredTDList(dir.Name(), {{1, 10}}, 1, 2));
  EXPECT_EQ(dir.EntryCount(), 0u);

  dir.WriteDocument(2, "pair 3 30\n", 4, 5);
  EXPECT_TRUE(Bridge::SaveExistingPreferredTDList(dir.Name(), {}, 7, 8));
  EXPECT_EQ(ReadFile(dir.Document()),
            "norv-preferred-td-list 1\nmode 2\nlast-borehole-id 7\nlast-td-chart-id 8\nend\n");
  EXPECT_TRUE(Bridge::SaveExistingPreferredTDList(dir.Name(), {{6, 60}, {1, 10}}, 1, 6));
  std::map<int, int> map;
  Bridge::GetPreferredTDList(dir.Name(), map);
  EXPECT_EQ(map, (std::map<int, int>{{1, 10}, {6, 60}}));
  EXPECT_THAT(ReadFile(dir.Document()), HasSubstr("pair 1 10\npair 6 60\n"));
}

TEST(PreferredTDListTest, NullDirectoryIsTheEmptyNameWhichHoldsNoList) {
  std::map<int, int> map{{9, 1}};
  EXPECT_FALSE(Bridge::PreferredTDListExist(nullptr));
  EXPECT_EQ(Bridge::GetAuthorPreferredTDMode(nullptr), 0);
  Bridge::GetPreferredTDList(nullptr, map);
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(Bridge::SaveExistingPreferredTDList(nullptr, {{1, 2}}, 3, 4));
  EXPECT_THAT(
      [] {
        Bridge::SetAuthorPreferredTDMode(nullptr, Bridge::kPreferredTDModeOne, nullptr, nullptr,
                                         nullptr);
      },
      ::testing::ThrowsMessage<PreferredTDList::DocumentException>(
          HasSubstr("no author directory was named")));
}

// The directory is named by the caller's bytes, whatever the code page
// decodes them to: here the UTF-8 bytes of "café", which 1252 decodes to
// "cafÃ©" and 65001 to "café" (this test runs under both).
TEST(PreferredTDListTest, TheDirectoryIsTheCallersBytes) {
  Testing::TempDir parent;
  fs::create_directory(parent.Path() / "caf\xc3\xa9");
  std::string name = (parent.Path() / "caf\xc3\xa9").string();
  std::map<int, int> pairs{{3, 4}};
  int count = 1;
  Bridge::SetAuthorPreferredTDMode(name.data(), Bridge::kPreferredTDModeOne, &pairs, &count,
                                   &count);
  EXPECT_TRUE(fs::exists(parent.Path() / "caf\xc3\xa9" / "preferred-td-list.txt"));
  EXPECT_EQ(std::distance(fs::directory_iterator(parent.Path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(Bridge::PreferredTDListExist(name.data()));
  EXPECT_EQ(Bridge::GetAuthorPreferredTDMode(name.data()), 1);
  std::map<int, int> read;
  Bridge::GetPreferredTDList(name.data(), read);
  EXPECT_EQ(read, pairs);
}

// Under 932 and 65001 a byte that is no character ("x\x81": a lead byte
// without its trail, a UTF-8 continuation byte alone) decodes to U+FFFD and
// cannot be written back. Such a name holds no list, even beside the
// directory of a real U+FFFD (which would otherwise be the one directory of
// every such name), and a save fails naming the path.
TEST(PreferredTDListTest, ANameWithAByteThatIsNoCharacterHoldsNoList) {
  if (Text::AnsiCodePage() != 932 && Text::AnsiCodePage() != 65001) {
    GTEST_SKIP() << "runs under code pages 932 and 65001 (ctest entries _cp932, _cp65001)";
  }
  Testing::TempDir parent;
  const fs::path replaced = parent.Path() / "x\xEF\xBF\xBD";  // "x\uFFFD" in UTF-8
  fs::create_directory(replaced);
  const std::string document =
      "norv-preferred-td-list 1\nmode 2\nlast-borehole-id 7\nlast-td-chart-id 8\npair 1 2\nend\n";
  WriteFile(replaced / "preferred-td-list.txt", document);
  fs::create_directory(parent.Path() / "x\x81");
  std::string name = (parent.Path() / "x\x81").string();

  EXPECT_FALSE(Bridge::PreferredTDListExist(name.data()));
  EXPECT_EQ(Bridge::GetAuthorPreferredTDMode(name.data()), 0);
  std::map<int, int> map{{9, 9}};
  Bridge::GetPreferredTDList(name.data(), map);
  EXPECT_TRUE(map.empty());
  int lastBorehole = 5;
  int lastChart = 5;
  Bridge::GetPreferredTDLastBoreholeAndTDId(name.data(), lastBorehole, lastChart);
  EXPECT_EQ(lastBorehole, 0);
  EXPECT_EQ(lastChart, 0);
  EXPECT_FALSE(Bridge::SaveExistingPreferredTDList(name.data(), {{1, 2}}, 3, 4));

  const std::string shown = (replaced / "preferred-td-list.txt").string();
  try {
    Bridge::SetAuthorPreferredTDMode(name.data(), Bridge::kPreferredTDModeOne, nullptr, nullptr,
                                     nullptr);
    ADD_FAILURE() << "a save into a name that cannot be written back succeeded";
  } catch (const PreferredTDList::DocumentException& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot save the preferred TD list " + shown));
    EXPECT_THAT(e.what(), HasSubstr("no character in code page"));
    EXPECT_EQ(e.Path(), shown);
  }
  EXPECT_TRUE(fs::is_empty(parent.Path() / "x\x81"));
  EXPECT_EQ(ReadFile(replaced / "preferred-td-list.txt"), document);
}

// Under 1252 every byte but five comes back: a Windows-1252 name is its own
// directory. A document that an earlier release saved under the UTF-8 of the
// decoded text stays readable there while no directory of the caller's bytes
// exists.
TEST(PreferredTDListCodePage1252Test, SingleByteNamesAndEarlierDocuments) {
  Testing::TempDir parent;
  fs::create_directory(parent.Path() / "na\xefve");  // "naïve" as Windows-1252 bytes
  std::string latin = (parent.Path() / "na\xefve").string();
  Bridge::SetAuthorPreferredTDMode(latin.data(), Bridge::kPreferredTDModeTwo, nullptr, nullptr,
                                   nullptr);
  EXPECT_TRUE(fs::exists(parent.Path() / "na\xefve" / "preferred-td-list.txt"));
  EXPECT_FALSE(fs::exists(parent.Path() / "na\xc3\xafve"));

  fs::create_directory(parent.Path() / "caf\xc3\xa9");  // where "caf\xe9" used to be saved
  std::string earlier = (parent.Path() / "caf\xe9").string();
  Bridge::SetAuthorPreferredTDMode(earlier.data(), Bridge::kPreferredTDModeOne, nullptr, nullptr,
                                   nullptr);
  EXPECT_TRUE(fs::exists(parent.Path() / "caf\xc3\xa9" / "preferred-td-list.txt"));
  EXPECT_EQ(Bridge::GetAuthorPreferredTDMode(earlier.data()), 1);
  // Once the caller's own directory exists, it is the one.
  fs::create_directory(parent.Path() / "caf\xe9");
  EXPECT_FALSE(Bridge::PreferredTDListExist(earlier.data()));
}

}  // namespace
}  // namespace Norv::MirnDataService::Interop
