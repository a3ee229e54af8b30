// The document store on real files: the text format, damaged files, missing
// directories, failed saves and the lock.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/base/UniqueFd.h"
#include "platform/documents/DocumentStore.h"
#include "platform/documents/DocumentTesting.h"
#include "services/PreferredTDList.h"
#include "tests/support/TestSupport.h"

namespace Norv::PreferredTDList {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

PreferredTDListFile FileIn(const fs::path& directory) {
  return PreferredTDListFile(ServiceString::FromUtf8(directory.string()));
}

std::vector<BoreholeTDId> MakePairs(std::initializer_list<std::pair<int, int>> values) {
  std::vector<BoreholeTDId> pairs;
  for (const auto& [boreholeId, tdId] : values) {
    BoreholeTDId pair;
    pair.SetBoreholeId(boreholeId);
    pair.SetTDId(tdId);
    pairs.push_back(pair);
  }
  return pairs;
}

BoreholeTDList MakeList(std::vector<BoreholeTDId> pairs, int lastBorehole, int lastChart) {
  BoreholeTDList list;
  list.Pairs() = std::move(pairs);
  list.SetLastBoreholeId(lastBorehole);
  list.SetLastTDChartId(lastChart);
  return list;
}

// Entries other than the document and its lock file.
std::vector<std::string> Leftovers(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name != internal::kDocumentName && name != internal::kLockName) names.push_back(name);
  }
  return names;
}

// Runs the process's remaining code in another working directory.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const fs::path& path) : old_(fs::current_path()) {
    fs::current_path(path);
  }
  ~ScopedWorkingDirectory() { fs::current_path(old_); }

 private:
  fs::path old_;
};

TEST(DocumentFormatTest, WritesTheDocumentedTextAndReadsItBack) {
  Testing::TempDir dir;
  PreferredTDListFile file = FileIn(dir.Path());
  file.SetAuthorPreferredTDMode(kPreferredTDModeLastChart, MakePairs({{5, 50}, {2, 20}}), 7, -3);
  EXPECT_EQ(ReadFile(dir.Path() / "preferred-td-list.txt"),
            "norv-preferred-td-list 1\n"
            "mode 2\n"
            "last-borehole-id 7\n"
            "last-td-chart-id -3\n"
            "pair 5 50\n"
            "pair 2 20\n"
            "end\n");
  EXPECT_EQ(file.GetPreferredTDList(), MakeList(MakePairs({{5, 50}, {2, 20}}), 7, -3));
  EXPECT_EQ(file.GetAuthorPreferredTDMode(), kPreferredTDModeLastChart);
  EXPECT_EQ(file.DocumentPath(), (dir.Path() / "preferred-td-list.txt").string());
}

TEST(DocumentFormatTest, AcceptsDuplicateBoreholesAnyModeAndHandEditedSpacing) {
  Testing::TempDir dir;
  WriteFile(dir.Path() / "preferred-td-list.txt",
            "norv-preferred-td-list 1\r\n"
            "mode   -7\r\n"
            "last-borehole-id\t2147483647\n"
            "last-td-chart-id -2147483648\n"
            "pair 3 30\n"
            "pair 1 10\n"
            "pair 3 31\n"
            "end\n");
  PreferredTDListFile file = FileIn(dir.Path());
  EXPECT_EQ(static_cast<int>(file.GetAuthorPreferredTDMode()), -7);
  EXPECT_EQ(file.GetPreferredTDList(),
            MakeList(MakePairs({{3, 30}, {1, 10}, {3, 31}}), INT_MAX, INT_MIN));
}

struct Damage {
  const char* name;
  std::string text;
  const char* reason;
};

TEST(DocumentFormatTest, DamagedFileRaisesNamingItAndStaysAsItWas) {
  const std::string head =
      "norv-preferred-td-list 1\nmode 1\nlast-borehole-id 4\nlast-td-chart-id 5\n";
  const std::vector<Damage> damages = {
      {"empty", "", "is empty"},
      {"cut in a line", head + "pair 1 10\npair 2", "is truncated: line 6 'pair 2' has no line"},
      {"cut after a line", head + "pair 1 10\n", "is truncated: it ends after line 5"},
      {"newer version", "norv-preferred-td-list 2\nwhatever comes\n",
       "has format version 2, newer than version 1"},
      {"version zero", "norv-preferred-td-list 0\n", "unknown format version 0"},
      {"foreign file", "<?xml version=\"1.0\"?>\n", "does not start with the line"},
      {"mode too large", "norv-preferred-td-list 1\nmode 2147483648\n",
       "line 2: expected 'mode NUMBER'"},
      {"bad pair", head + "pair 1 ten\nend\n", "line 5: expected 'pair BOREHOLE-ID TD-ID'"},
      {"NUL byte", head + std::string("pair 1\0 2\nend\n", 14), "'pair 1\\x00 2'"},
      {"text after end", head + "end\npair 1 2\n", "more text follows"},
      {"fields out of order", "norv-preferred-td-list 1\nlast-borehole-id 4\n",
       "line 2: expected 'mode NUMBER'"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    Testing::TempDir dir;
    const fs::path path = dir.Path() / "preferred-td-list.txt";
    WriteFile(path, damage.text);
    PreferredTDListFile file = FileIn(dir.Path());
    const auto raisesNamingTheFile = ::testing::Throws<DocumentException>(::testing::Property(
        &DocumentException::what, AllOf(HasSubstr(path.string()), HasSubstr(damage.reason))));
    EXPECT_THAT([&] { file.GetPreferredTDList(); }, raisesNamingTheFile);
    EXPECT_THAT([&] { file.GetAuthorPreferredTDMode(); }, raisesNamingTheFile);
    EXPECT_THAT([&] { file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, {}, 1, 2); },
                raisesNamingTheFile);
    EXPECT_THAT([&] { file.SaveExistingPreferredTDList(BoreholeTDList()); }, raisesNamingTheFile);
    EXPECT_TRUE(file.PreferredTDListExist());
    EXPECT_EQ(ReadFile(path), damage.text);
    EXPECT_THAT(Leftovers(dir.Path()), IsEmpty());
  }
}

TEST(DocumentStoreTest, MissingOrUnnamedDirectoryReadsAsNoListAndRefusesWrites) {
  Testing::TempDir dir;
  const fs::path missing = dir.Path() / "no-such-author";
  ScopedWorkingDirectory cwd(dir.Path());
  for (const ServiceString& name :
       {ServiceString::FromUtf8(missing.string()), ServiceString(u""), ServiceString::Null()}) {
    SCOPED_TRACE(name.ToUtf8());
    PreferredTDListFile file(name);
    EXPECT_FALSE(file.PreferredTDListExist());
    EXPECT_EQ(file.GetAuthorPreferredTDMode(), kPreferredTDModeNone);
    EXPECT_EQ(file.GetPreferredTDList(), BoreholeTDList());
    EXPECT_FALSE(file.SaveExistingPreferredTDList(MakeList(MakePairs({{1, 2}}), 3, 4)));
    const std::string expected =
        name.Units().empty() ? "no author directory was named"
                             : "the author directory " + missing.string() + " does not exist";
    EXPECT_THAT([&] { file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, {}, 1, 2); },
                ::testing::ThrowsMessage<DocumentException>(HasSubstr(expected)));
  }
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_THAT(Leftovers(dir.Path()), IsEmpty());  // nothing written into the working directory
  EXPECT_FALSE(fs::exists(dir.Path() / internal::kDocumentName));
  EXPECT_FALSE(fs::exists(dir.Path() / internal::kLockName));

  WriteFile(dir.Path() / "plain-file", "x");
  PreferredTDListFile notADirectory = FileIn(dir.Path() / "plain-file");
  EXPECT_FALSE(notADirectory.PreferredTDListExist());
  EXPECT_THAT([&] { notADirectory.SetAuthorPreferredTDMode(kPreferredTDModeLastChart, {}, 1, 2); },
              ::testing::ThrowsMessage<DocumentException>(HasSubstr("is not a directory")));

  // A name that no directory can carry holds no list either.
  const std::u16string withNul(u"/tmp/a\0b", 8);
  PreferredTDListFile unnamable{ServiceString(withNul)};
  EXPECT_FALSE(unnamable.PreferredTDListExist());
  EXPECT_EQ(unnamable.GetPreferredTDList(), BoreholeTDList());
  EXPECT_THAT([&] { unnamable.SetAuthorPreferredTDMode(kPreferredTDModeLastChart, {}, 1, 2); },
              ::testing::ThrowsMessage<DocumentException>(HasSubstr("/tmp/a... holds a NUL")));
}

TEST(DocumentStoreTest, ModeSavesKeepOrReplaceThePairsAsDocumented) {
  Testing::TempDir dir;
  PreferredTDListFile file = FileIn(dir.Path());
  EXPECT_FALSE(file.SaveExistingPreferredTDList(MakeList(MakePairs({{1, 2}}), 3, 4)));
  EXPECT_THAT(Leftovers(dir.Path()), IsEmpty());
  EXPECT_FALSE(fs::exists(dir.Path() / internal::kLockName));  // asking wrote nothing

  // A null collection on a new document gives no pairs.
  file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, std::nullopt, 0, 0);
  EXPECT_EQ(file.GetPreferredTDList(), BoreholeTDList());
  file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, MakePairs({{1, 10}, {2, 20}}), 1, 2);
  // Null keeps the pairs; the mode and the ids change.
  file.SetAuthorPreferredTDMode(kPreferredTDModeLastChart, std::nullopt, 8, 9);
  EXPECT_EQ(file.GetPreferredTDList(), MakeList(MakePairs({{1, 10}, {2, 20}}), 8, 9));
  EXPECT_EQ(file.GetAuthorPreferredTDMode(), kPreferredTDModeLastChart);
  // Saving the list keeps the mode.
  EXPECT_TRUE(file.SaveExistingPreferredTDList(MakeList(MakePairs({{4, 40}}), 5, 6)));
  EXPECT_EQ(file.GetPreferredTDList(), MakeList(MakePairs({{4, 40}}), 5, 6));
  EXPECT_EQ(file.GetAuthorPreferredTDMode(), kPreferredTDModeLastChart);
  // An empty collection removes the pairs; any mode number is stored.
  file.SetAuthorPreferredTDMode(static_cast<PreferredTDMode>(42), std::vector<BoreholeTDId>(), 0,
                                0);
  EXPECT_EQ(file.GetPreferredTDList(), BoreholeTDList());
  EXPECT_EQ(static_cast<int>(file.GetAuthorPreferredTDMode()), 42);
  EXPECT_THAT(Leftovers(dir.Path()), IsEmpty());
}

// Resets a fault-injection step however the test ends.
class FailingStep {
 public:
  explicit FailingStep(testing::WriteStep step) : step_(step) {
    testing::SetWriteStepFails(step_, true);
  }
  ~FailingStep() { testing::SetWriteStepFails(step_, false); }

 private:
  testing::WriteStep step_;
};

BoreholeTDList LargeList(int count, int tdId) {
  BoreholeTDList list;
  for (int b = 0; b < count; ++b) {
    BoreholeTDId pair;
    pair.SetBoreholeId(b);
    pair.SetTDId(tdId);
    list.Pairs().push_back(pair);
  }
  return list;
}

TEST(DocumentStoreTest, SaveFailingAtAnyStepLeavesTheOldDocumentWhole) {
  using testing::WriteStep;
  for (WriteStep step :
       {WriteStep::kCreateTemporary, WriteStep::kWrite, WriteStep::kSync, WriteStep::kRename}) {
    SCOPED_TRACE(static_cast<int>(step));
    Testing::TempDir dir;
    PreferredTDListFile file = FileIn(dir.Path());
    file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, MakePairs({{1, 10}}), 1, 1);
    const std::string before = ReadFile(file.DocumentPath());
    {
      FailingStep failing(step);
      EXPECT_THAT([&] { file.SaveExistingPreferredTDList(LargeList(5000, 7)); },
                  ::testing::ThrowsMessage<DocumentException>(
                      AllOf(HasSubstr("cannot save the preferred TD list " + file.DocumentPath()),
                            HasSubstr("Input/output error"))));
    }
    EXPECT_EQ(ReadFile(file.DocumentPath()), before);
    EXPECT_THAT(Leftovers(dir.Path()), IsEmpty());
    EXPECT_TRUE(file.SaveExistingPreferredTDList(LargeList(3, 7)));  // the store still works
    EXPECT_EQ(file.GetPreferredTDList(), LargeList(3, 7));
  }
}

TEST(DocumentStoreTest, FailedDirectoryFlushIsReportedThoughTheNewDocumentIsInPlace) {
  Testing::TempDir dir;
  PreferredTDListFile file = FileIn(dir.Path());
  file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, MakePairs({{1, 10}}), 1, 1);
  FailingStep failing(testing::WriteStep::kSyncDirectory);
  EXPECT_THAT([&] { file.SaveExistingPreferredTDList(LargeList(2, 5)); },
              ::testing::ThrowsMessage<DocumentException>(HasSubstr("flushing the directory")));
  EXPECT_EQ(file.GetPreferredTDList(), LargeList(2, 5));
}

// A real short write: the file size limit stands in for a full disk.
TEST(DocumentStoreTest, FullDiskLeavesTheOldDocumentWhole) {
  Testing::TempDir dir;
  PreferredTDListFile file = FileIn(dir.Path());
  file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, MakePairs({{1, 10}}), 1, 1);
  const std::string before = ReadFile(file.DocumentPath());

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore {};
  struct sigaction oldAction {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &oldAction), 0);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool raised = false;
  std::string message;
  try {
    file.SaveExistingPreferredTDList(LargeList(10000, 7));
  } catch (const DocumentException& e) {
    raised = true;
    message = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::sigaction(SIGXFSZ, &oldAction, nullptr);

  EXPECT_TRUE(raised);
  EXPECT_THAT(message, AllOf(HasSubstr(file.DocumentPath()), HasSubstr("File too large")));
  EXPECT_EQ(ReadFile(file.DocumentPath()), before);
  EXPECT_THAT(Leftovers(dir.Path()), IsEmpty());
}

TEST(DocumentStoreTest, SaveWaitsForTheLockAndGivesUpAfterItsTimeout) {
  Testing::TempDir dir;
  PreferredTDListFile file = FileIn(dir.Path());
  file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, MakePairs({{1, 10}}), 1, 1);
  const std::string before = ReadFile(file.DocumentPath());
  const std::string lockPath = (dir.Path() / internal::kLockName).string();

  // Another open file description conflicts like another process would.
  const int held = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  testing::SetLockTimeout(std::chrono::milliseconds(100));
  EXPECT_THAT([&] { file.SaveExistingPreferredTDList(LargeList(2, 5)); },
              ::testing::ThrowsMessage<DocumentException>(
                  AllOf(HasSubstr(file.DocumentPath()), HasSubstr("held the lock " + lockPath))));
  // Readers never wait for the lock.
  EXPECT_EQ(file.GetPreferredTDList(), MakeList(MakePairs({{1, 10}}), 1, 1));
  ::close(held);
  testing::SetLockTimeout(std::chrono::seconds(30));
  EXPECT_EQ(ReadFile(file.DocumentPath()), before);
  EXPECT_TRUE(file.SaveExistingPreferredTDList(LargeList(2, 5)));
}

// A host may cancel a thread whose save waits for the lock: the thread
// unwinds, the document stays as it was, nothing is left behind and the next
// save works.
TEST(DocumentStoreTest, ASaveWaitingForTheLockCanBeCancelled) {
  Testing::TempDir dir;
  static PreferredTDListFile* file = nullptr;
  PreferredTDListFile document = FileIn(dir.Path());
  file = &document;
  document.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, MakePairs({{1, 10}}), 1, 1);
  const std::string before = ReadFile(document.DocumentPath());
  const int held = ::open((dir.Path() / internal::kLockName).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);

  pthread_t saver;
  auto save = [](void*) -> void* {
    file->SaveExistingPreferredTDList(LargeList(2, 5));
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&saver, nullptr, save, nullptr), 0);
  // Lets the save reach its wait; a cancellation before it unwinds the same way.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::pthread_cancel(saver);
  void* result = nullptr;
  ::pthread_join(saver, &result);
  ::close(held);
  EXPECT_EQ(result, PTHREAD_CANCELED);
  EXPECT_EQ(ReadFile(document.DocumentPath()), before);
  EXPECT_THAT(Leftovers(dir.Path()), IsEmpty());
  EXPECT_TRUE(document.SaveExistingPreferredTDList(LargeList(2, 5)));
}

// Closes `fd` through its owner; a frame of its own, which returns normally.
[[gnu::noinline]] void CloseOwned(int fd) { Platform::internal::UniqueFd owned(fd); }

// A descriptor closes in destructors and noexcept frames, which a
// cancellation cannot unwind (the process would end): closing one with a
// cancellation pending releases it and leaves the cancellation to the next
// cancellation point.
TEST(DocumentStoreTest, ClosingADescriptorNeverStartsACancellation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static int fd = -1;
        static bool closed = false;
        fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        // The thread's frame holds no local whose address is taken: the
        // unwinding skips its epilogue, which AddressSanitizer relies on.
        auto run = [](void*) -> void* {
          ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
          ::pthread_cancel(::pthread_self());
          ::pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);  // pending, not acted on
          CloseOwned(fd);
          closed = true;
          ::pthread_testcancel();
          return nullptr;
        };
        pthread_t thread;
        if (fd < 0 || ::pthread_create(&thread, nullptr, run, nullptr) != 0) ::_exit(2);
        void* result = nullptr;
        ::pthread_join(thread, &result);
        ::_exit(result == PTHREAD_CANCELED && closed && ::fcntl(fd, F_GETFD) == -1 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(DocumentStoreTest, SaveKeepsPermissionsAndRemovesStaleTemporaryFiles) {
  Testing::TempDir dir;
  PreferredTDListFile file = FileIn(dir.Path());
  file.SetAuthorPreferredTDMode(kPreferredTDModePerBorehole, std::nullopt, 1, 1);
  struct stat st {};
  ASSERT_EQ(::stat(file.DocumentPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ::chmod(file.DocumentPath().c_str(), 0600);
  // Left by a save that was killed, and a file of the author's own.
  WriteFile(dir.Path() / ".preferred-td-list.txt.Ab3xYz", "norv-preferred-td-list 1\nmo");
  WriteFile(dir.Path() / "notes.txt", "mine");
  EXPECT_TRUE(file.SaveExistingPreferredTDList(LargeList(1, 1)));
  ASSERT_EQ(::stat(file.DocumentPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_THAT(Leftovers(dir.Path()), ::testing::ElementsAre("notes.txt"));
}

}  // namespace
}  // namespace Norv::PreferredTDList
