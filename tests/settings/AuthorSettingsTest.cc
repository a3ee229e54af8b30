// The process's author path: shared between threads, and saved to and
// loaded from a real settings file in a private configuration directory.
#include "services/AuthorSettings.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace Norv::IO {
namespace {

namespace fs = std::filesystem;
using Norv::Testing::ScopedEnv;
using Norv::Testing::TempDir;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(AuthorSettingsTest, DefaultIsOneObjectSeenFromEveryThread) {
  AuthorSettings& settings = AuthorSettings::Default();
  settings.SetPath(ServiceString(u"/data/authors"));
  AuthorSettings* seen = nullptr;
  ServiceString seenPath;
  std::thread([&] {
    seen = &AuthorSettings::Default();
    seenPath = seen->Path();
    seen->SetPath(ServiceString(u"/set/by/another/thread"));
  }).join();
  EXPECT_EQ(seen, &settings);
  EXPECT_EQ(seenPath, ServiceString(u"/data/authors"));
  EXPECT_EQ(settings.Path(), ServiceString(u"/set/by/another/thread"));
}

TEST(AuthorSettingsTest, ConcurrentSettersLeaveOneWholePath) {
  AuthorSettings settings;
  EXPECT_TRUE(settings.Path().IsNull());
  constexpr int kWriters = 4;
  std::set<std::u16string> written;
  for (int i = 0; i < kWriters; ++i) written.insert(std::u16string(200 + i, u'a' + i));
  std::latch start(kWriters + 1);
  std::atomic<bool> torn{false};
  {
    std::vector<std::jthread> threads;
    for (const std::u16string& path : written) {
      threads.emplace_back([&settings, &start, path] {
        start.arrive_and_wait();
        for (int n = 0; n < 2000; ++n) settings.SetPath(ServiceString(path));
      });
    }
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int n = 0; n < 2000; ++n) {
        ServiceString path = settings.Path();
        if (!path.IsNull() && written.count(path.Units()) == 0) torn = true;
      }
    });
  }
  EXPECT_FALSE(torn);
  EXPECT_EQ(written.count(settings.Path().Units()), 1u);
}

class AuthorSettingsFileTest : public ::testing::Test {
 protected:
  fs::path File() const { return temp_.Path() / "config" / "norv" / "author-settings"; }

  TempDir temp_;
  ScopedEnv xdg_{"XDG_CONFIG_HOME", (temp_.Path() / "config").string()};
};

TEST_F(AuthorSettingsFileTest, SaveThenLoadKeepsThePathExactly) {
  const std::u16string paths[] = {u"", u"/srv/authors", u" C:\\Projekte\\G\u00f6rz\u20ac \n",
                                  u"line\nbreaks\n\n"};
  for (const std::u16string& path : paths) {
    AuthorSettings saved;
    saved.SetPath(ServiceString(path));
    saved.Save();
    AuthorSettings loaded;
    ASSERT_TRUE(loaded.Load());
    EXPECT_EQ(loaded.Path(), ServiceString(path));
  }
  EXPECT_EQ(AuthorSettings::FilePath(), File());
  struct stat status {};
  ASSERT_EQ(::stat(File().parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(AuthorSettingsFileTest, NullIsSavedAsEmpty) {
  AuthorSettings saved;
  saved.Save();
  AuthorSettings loaded;
  ASSERT_TRUE(loaded.Load());
  EXPECT_EQ(loaded.Path(), ServiceString(u""));
}

TEST_F(AuthorSettingsFileTest, MissingFileLoadsNothing) {
  AuthorSettings settings;
  settings.SetPath(ServiceString(u"/kept"));
  EXPECT_FALSE(settings.Load());
  EXPECT_EQ(settings.Path(), ServiceString(u"/kept"));
}

TEST_F(AuthorSettingsFileTest, ForeignFileIsRefusedAndPathKept) {
  fs::create_directories(File().parent_path());
  std::ofstream(File()) << "path=/somewhere\n";
  AuthorSettings settings;
  settings.SetPath(ServiceString(u"/kept"));
  EXPECT_THAT([&] { settings.Load(); },
              ThrowsMessage<SettingsFileException>(HasSubstr(File().string())));
  EXPECT_EQ(settings.Path(), ServiceString(u"/kept"));

  fs::remove(File());
  std::ofstream(File()) << "norv-author-settings 1\n" << std::string(70000, 'x');
  EXPECT_THROW(settings.Load(), SettingsFileException);
  EXPECT_EQ(settings.Path(), ServiceString(u"/kept"));
}

TEST_F(AuthorSettingsFileTest, UnusableDirectoryFailsNamingIt) {
  std::ofstream(temp_.Path() / "config") << "a file where the directory should be";
  AuthorSettings settings;
  settings.SetPath(ServiceString(u"/p"));
  EXPECT_THAT([&] { settings.Save(); },
              ThrowsMessage<SettingsFileException>(HasSubstr((temp_.Path() / "config").string())));
}

// A full disk in the middle of a save: the old file stays whole and no
// temporary file is left. RLIMIT_FSIZE stands in for the full disk, since
// permissions do not stop root.
TEST_F(AuthorSettingsFileTest, FailedSaveKeepsTheOldFile) {
  AuthorSettings settings;
  settings.SetPath(ServiceString(u"/old"));
  settings.Save();
  const std::string old = ReadAll(File());

  settings.SetPath(ServiceString(std::u16string(8192, u'n')));
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit limit{}, saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  limit = saved;
  limit.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  EXPECT_THROW(settings.Save(), SettingsFileException);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  ASSERT_EQ(::sigaction(SIGXFSZ, &previous, nullptr), 0);

  EXPECT_EQ(ReadAll(File()), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(File().parent_path()), fs::directory_iterator()),
            1);
}

}  // namespace
}  // namespace Norv::IO
