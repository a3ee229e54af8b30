// Password encryption against real key files in a private configuration
// directory per test.
#include "services/CustomPassword.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace Norv::Security {
namespace {

namespace fs = std::filesystem;
using Norv::Testing::ScopedEnv;
using Norv::Testing::TempDir;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

std::string Ascii(const ServiceString& s) { return s.ToUtf8(); }
ServiceString FromAscii(const std::string& s) { return ServiceString::FromUtf8(s); }

mode_t ModeOf(const fs::path& p) {
  struct stat status {};
  EXPECT_EQ(::lstat(p.c_str(), &status), 0) << p;
  return status.st_mode & 07777;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& p, const std::string& bytes, mode_t mode) {
  { std::ofstream(p, std::ios::binary) << bytes; }
  ASSERT_EQ(::chmod(p.c_str(), mode), 0);
}

class CustomPasswordTest : public ::testing::Test {
 protected:
  fs::path ConfigDir() const { return temp_.Path() / "config" / "norv"; }
  fs::path KeyFile() const { return ConfigDir() / "password.key"; }

  // Expects DecryptPassword(text) to fail as a format error.
  static void ExpectRejected(const ServiceString& text) {
    EXPECT_THROW(CustomPassword::DecryptPassword(text), PasswordFormatException) << Ascii(text);
  }

  TempDir temp_;
  ScopedEnv xdg_{"XDG_CONFIG_HOME", (temp_.Path() / "config").string()};
};

TEST_F(CustomPasswordTest, RoundTripsEveryKindOfPassword) {
  const std::u16string passwords[] = {
      u"",
      u"secret",
      u"p\u00e9ss w\u20acrd \U0001F511",
      std::u16string(u"a\0b", 3),    // an embedded U+0000 survives
      std::u16string(1, u'\xD800'),  // so does a lone surrogate
      std::u16string(1000, u'x'),
  };
  for (const std::u16string& password : passwords) {
    ServiceString encrypted = CustomPassword::EncryptPassword(ServiceString(password));
    ServiceString decrypted = CustomPassword::DecryptPassword(encrypted);
    EXPECT_FALSE(decrypted.IsNull());
    EXPECT_EQ(decrypted.Units(), password);
  }
}

TEST_F(CustomPasswordTest, NullEncryptsAsTheEmptyPassword) {
  ServiceString encrypted = CustomPassword::EncryptPassword(ServiceString::Null());
  ServiceString decrypted = CustomPassword::DecryptPassword(encrypted);
  EXPECT_FALSE(decrypted.IsNull());
  EXPECT_EQ(decrypted.Units(), u"");
}

TEST_F(CustomPasswordTest, OutputIsPrefixedPrintableAsciiAndFreshEachTime) {
  ServiceString first = CustomPassword::EncryptPassword(ServiceString(u"p\u00e9\u20ac"));
  ServiceString second = CustomPassword::EncryptPassword(ServiceString(u"p\u00e9\u20ac"));
  EXPECT_NE(first, second);
  for (const ServiceString& text : {first, second}) {
    EXPECT_TRUE(CustomPassword::IsEncryptedPassword(text));
    EXPECT_THAT(Ascii(text), ::testing::StartsWith("norv1:"));
    for (char16_t unit : text.Units()) {
      EXPECT_TRUE(unit > 0x20 && unit < 0x7F) << static_cast<int>(unit);
    }
  }
  EXPECT_FALSE(CustomPassword::IsEncryptedPassword(ServiceString(u"secret")));
  EXPECT_FALSE(CustomPassword::IsEncryptedPassword(ServiceString::Null()));
}

TEST_F(CustomPasswordTest, LengthShowsOnlyInBlocksOfSixteenCodeUnits) {
  const auto size = [](std::u16string password) {
    return CustomPassword::EncryptPassword(ServiceString(password)).Units().size();
  };
  EXPECT_EQ(size(u""), size(std::u16string(15, u'a')));
  EXPECT_LT(size(std::u16string(15, u'a')), size(std::u16string(16, u'a')));
}

TEST_F(CustomPasswordTest, KeyFileIsCreatedPrivateOnceAndReused) {
  EXPECT_FALSE(fs::exists(KeyFile()));
  ServiceString first = CustomPassword::EncryptPassword(ServiceString(u"one"));
  EXPECT_EQ(CustomPassword::KeyFilePath(), KeyFile());
  ASSERT_TRUE(fs::is_regular_file(KeyFile()));
  EXPECT_EQ(ModeOf(KeyFile()), 0600u);
  EXPECT_EQ(ModeOf(ConfigDir()), 0700u);
  EXPECT_EQ(fs::file_size(KeyFile()), 32u);
  const std::string key = ReadAll(KeyFile());
  struct stat before {};
  ASSERT_EQ(::stat(KeyFile().c_str(), &before), 0);

  ServiceString second = CustomPassword::EncryptPassword(ServiceString(u"two"));
  struct stat after {};
  ASSERT_EQ(::stat(KeyFile().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(ReadAll(KeyFile()), key);
  EXPECT_EQ(CustomPassword::DecryptPassword(first).Units(), u"one");
  EXPECT_EQ(CustomPassword::DecryptPassword(second).Units(), u"two");
  // Nothing but the key is left behind in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(ConfigDir()), fs::directory_iterator()), 1);
}

TEST_F(CustomPasswordTest, RelativeXdgConfigHomeIsIgnoredForHome) {
  ScopedEnv xdg("XDG_CONFIG_HOME", "relative/config");
  ScopedEnv home("HOME", temp_.Path().string());
  ServiceString text = CustomPassword::EncryptPassword(ServiceString(u"x"));
  EXPECT_TRUE(fs::exists(temp_.Path() / ".config" / "norv" / "password.key"));
  EXPECT_EQ(CustomPassword::DecryptPassword(text).Units(), u"x");
}

TEST_F(CustomPasswordTest, MalformedTextFailsCleanly) {
  ExpectRejected(ServiceString::Null());
  ExpectRejected(ServiceString(u""));
  ExpectRejected(ServiceString(u"secret"));      // a plain password
  ExpectRejected(ServiceString(u"norv2:AAAA"));  // another version
  ExpectRejected(ServiceString(u"norv1:"));
  ExpectRejected(ServiceString(u"norv1:!!!!"));
  ExpectRejected(ServiceString(u"norv1:AAAA\u0141AAA"));
  ExpectRejected(ServiceString(u"norv1:AAAA"));  // valid base64, far too short
  // The message never repeats the text, which may be a plain password.
  EXPECT_THAT([] { CustomPassword::DecryptPassword(ServiceString(u"hunter2")); },
              ThrowsMessage<PasswordFormatException>(Not(HasSubstr("hunter2"))));
}

TEST_F(CustomPasswordTest, EveryTruncationAndAlterationIsRejected) {
  const std::string text = Ascii(CustomPassword::EncryptPassword(ServiceString(u"secret")));
  for (std::size_t length = 0; length < text.size(); ++length) {
    ExpectRejected(FromAscii(text.substr(0, length)));
  }
  ExpectRejected(FromAscii(text + "A"));
  ExpectRejected(FromAscii(text + "AAAA"));
  for (std::size_t i = 6; i < text.size(); ++i) {
    std::string altered = text;
    // Another base64 letter at each position, so that only the content changes.
    altered[i] = altered[i] == 'A' ? 'B' : 'A';
    if (text[i] == '=') continue;
    ExpectRejected(FromAscii(altered));
  }
}

TEST_F(CustomPasswordTest, TextFromAnotherKeyIsRejectedNamingTheKey) {
  ServiceString text = CustomPassword::EncryptPassword(ServiceString(u"secret"));
  TempDir other;
  ScopedEnv xdg("XDG_CONFIG_HOME", other.Path().string());
  CustomPassword::EncryptPassword(ServiceString(u"makes the other key"));
  EXPECT_THAT([&] { CustomPassword::DecryptPassword(text); },
              ThrowsMessage<PasswordFormatException>(
                  HasSubstr((other.Path() / "norv" / "password.key").string())));
}

TEST_F(CustomPasswordTest, DecryptingWithoutAKeyFailsAndCreatesNone) {
  ServiceString text = CustomPassword::EncryptPassword(ServiceString(u"secret"));
  fs::remove(KeyFile());
  EXPECT_THROW(CustomPassword::DecryptPassword(text), KeyFileException);
  EXPECT_FALSE(fs::exists(KeyFile()));
}

// Each unusable key is refused with the path in the message, and left as it
// was: a refused key is never silently replaced.
class KeyFileRefusalTest : public CustomPasswordTest {
 protected:
  void SetUp() override { fs::create_directories(ConfigDir()); }

  void ExpectRefused(const std::string& reason) {
    const bool existed = fs::exists(fs::symlink_status(KeyFile()));
    const fs::file_time_type written = existed && !fs::is_symlink(KeyFile())
                                           ? fs::last_write_time(KeyFile())
                                           : fs::file_time_type();
    EXPECT_THAT(
        [] { CustomPassword::EncryptPassword(ServiceString(u"secret")); },
        ThrowsMessage<KeyFileException>(AllOf(HasSubstr(KeyFile().string()), HasSubstr(reason))));
    if (existed && !fs::is_symlink(KeyFile())) {
      EXPECT_EQ(fs::last_write_time(KeyFile()), written);
    }
  }
};

TEST_F(KeyFileRefusalTest, OpenToGroupOrOthers) {
  WriteFile(KeyFile(), std::string(32, 'k'), 0644);
  ExpectRefused("mode 0644");
  ASSERT_EQ(::chmod(KeyFile().c_str(), 0640), 0);
  ExpectRefused("mode 0640");
  ASSERT_EQ(::chmod(KeyFile().c_str(), 0602), 0);
  ExpectRefused("mode 0602");
  ASSERT_EQ(::chmod(KeyFile().c_str(), 0600), 0);
  EXPECT_NO_THROW(CustomPassword::EncryptPassword(ServiceString(u"secret")));
}

TEST_F(KeyFileRefusalTest, WrongSize) {
  WriteFile(KeyFile(), std::string(31, 'k'), 0600);
  ExpectRefused("holds 31 bytes");
  WriteFile(KeyFile(), "", 0600);
  ExpectRefused("holds 0 bytes");
  WriteFile(KeyFile(), std::string(33, 'k'), 0600);
  ExpectRefused("holds 33 bytes");
}

TEST_F(KeyFileRefusalTest, NotARegularFile) {
  WriteFile(temp_.Path() / "elsewhere", std::string(32, 'k'), 0600);
  fs::create_symlink(temp_.Path() / "elsewhere", KeyFile());
  ExpectRefused("symbolic link");
  fs::remove(KeyFile());
  fs::create_directory(KeyFile());
  ExpectRefused("not a regular file");
}

TEST_F(KeyFileRefusalTest, OwnedByAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  WriteFile(KeyFile(), std::string(32, 'k'), 0600);
  ASSERT_EQ(::chown(KeyFile().c_str(), 65534, 65534), 0);
  ExpectRefused("belongs to user 65534");
}

TEST_F(KeyFileRefusalTest, DirectoryWritableByOthersWhenCreating) {
  ASSERT_EQ(::chmod(ConfigDir().c_str(), 0777), 0);
  EXPECT_THAT([] { CustomPassword::EncryptPassword(ServiceString(u"secret")); },
              ThrowsMessage<KeyFileException>(
                  AllOf(HasSubstr(ConfigDir().string()), HasSubstr("writable by others"))));
  EXPECT_FALSE(fs::exists(KeyFile()));
}

TEST_F(CustomPasswordTest, ConfigLocationThatIsAFileFailsCleanly) {
  WriteFile(temp_.Path() / "config", "not a directory", 0600);
  EXPECT_THAT([] { CustomPassword::EncryptPassword(ServiceString(u"secret")); },
              ThrowsMessage<KeyFileException>(HasSubstr(ConfigDir().string())));
}

}  // namespace
}  // namespace Norv::Security
