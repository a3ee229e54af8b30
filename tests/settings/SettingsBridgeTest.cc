// The two settings bridge functions: what reaches the settings object and
// the encryptor, and how the encryptor's answer comes back. Runs under code
// page 1252 (set by the test's environment).
#include "norv/interop/Settings.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/security/PasswordTesting.h"
#include "services/AuthorSettings.h"
#include "services/CustomPassword.h"
#include "tests/support/TestSupport.h"

namespace Norv {
namespace {

namespace fs = std::filesystem;
using Norv::Testing::ScopedEnv;
using Norv::Testing::TempDir;
using Security::CustomPassword;

class SettingsBridgeTest : public ::testing::Test {
 protected:
  void TearDown() override { Security::testing::SetEncryptAnswer(std::nullopt); }

  TempDir temp_;
  ScopedEnv xdg_{"XDG_CONFIG_HOME", temp_.Path().string()};
};

TEST_F(SettingsBridgeTest, SetAuthorPathAssignsTheDecodedPathAsIs) {
  IO::Interop::SetAuthorPath(nullptr);
  EXPECT_EQ(IO::AuthorSettings::Default().Path(), ServiceString(u""));  // empty, not null

  IO::Interop::SetAuthorPath("");
  EXPECT_EQ(IO::AuthorSettings::Default().Path(), ServiceString(u""));

  IO::Interop::SetAuthorPath("  /srv/authors/ ");  // neither trimmed nor normalised
  EXPECT_EQ(IO::AuthorSettings::Default().Path(), ServiceString(u"  /srv/authors/ "));

  // Bytes above 0x7F go through the code page, not Latin-1.
  IO::Interop::SetAuthorPath("C:\\Autoren\\G\xE9rard \x80");
  EXPECT_EQ(IO::AuthorSettings::Default().Path(),
            ServiceString(u"C:\\Autoren\\G\u00e9rard \u20ac"));
}

TEST_F(SettingsBridgeTest, SetAuthorPathNeverSaves) {
  IO::Interop::SetAuthorPath("/not/saved");
  EXPECT_FALSE(fs::exists(IO::AuthorSettings::FilePath()));
  EXPECT_FALSE(fs::exists(temp_.Path() / "norv"));
}

TEST_F(SettingsBridgeTest, EncryptPasswordReturnsTextThatDecryptsToThePassword) {
  char password[] = "s\xE9same \x80";
  const std::string before = password;
  std::string encrypted = Interop::EncryptPassword(password);
  EXPECT_EQ(std::string(password), before);  // only read
  EXPECT_EQ(encrypted.rfind("norv1:", 0), 0u);
  EXPECT_EQ(CustomPassword::DecryptPassword(ServiceString::FromUtf8(encrypted)).Units(),
            u"s\u00e9same \u20ac");

  std::string empty = Interop::EncryptPassword(nullptr);  // not refused: encrypts ""
  EXPECT_EQ(CustomPassword::DecryptPassword(ServiceString::FromUtf8(empty)).Units(), u"");
  char none[] = "";
  EXPECT_NE(Interop::EncryptPassword(none), empty);  // a fresh nonce each time
}

TEST_F(SettingsBridgeTest, AnswerKeepsTheLowByteOfEachCodeUnit) {
  Security::testing::SetEncryptAnswer(ServiceString(u"a\u0141b\u20ac\u00e9"));
  EXPECT_EQ(Interop::EncryptPassword(nullptr), "aAb\xAC\xE9");

  Security::testing::SetEncryptAnswer(ServiceString(std::u16string(u"ab\0cd", 5)));
  EXPECT_EQ(Interop::EncryptPassword(nullptr), "ab");

  Security::testing::SetEncryptAnswer(ServiceString(u"x\u0100y"));
  EXPECT_EQ(Interop::EncryptPassword(nullptr), std::string("x\0y", 3));

  Security::testing::SetEncryptAnswer(ServiceString::Null());
  EXPECT_EQ(Interop::EncryptPassword(nullptr), "");
}

TEST_F(SettingsBridgeTest, EncryptorFailuresReachTheCaller) {
  fs::create_directories(temp_.Path() / "norv");
  fs::create_directory(temp_.Path() / "norv" / "password.key");  // not a key file
  char password[] = "secret";
  EXPECT_THROW(Interop::EncryptPassword(password), Security::KeyFileException);
}

}  // namespace
}  // namespace Norv
