// norvctl's settings commands, run as real processes.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "services/AuthorSettings.h"
#include "services/CustomPassword.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv {
namespace {

using Norv::Testing::ScopedEnv;
using Norv::Testing::TempDir;

struct Result {
  int status = -1;
  std::string output;  // standard output and error
};

// Runs norvctl with `arguments` and `input` on its standard input.
Result Norvctl(const std::string& input, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), NORV_NORVCTL);
  Testing::ChildProcess child(std::move(arguments),
                              {.errors = Testing::ChildProcess::ErrorStream::kIntoOutput});
  child.Write(input);
  Result result;
  result.status = child.Finish();
  result.output = child.Out();
  if (!result.output.empty() && result.output.back() == '\n') result.output.pop_back();
  return result;
}

class NorvctlSettingsTest : public ::testing::Test {
 protected:
  TempDir temp_;
  ScopedEnv xdg_{"XDG_CONFIG_HOME", temp_.Path().string()};
  ScopedEnv codePage_{"NORV_ANSI_CODEPAGE", "1252"};
};

TEST_F(NorvctlSettingsTest, PasswordsRoundTripThroughStandardInput) {
  Result encrypted = Norvctl("hunter2\n", {"encrypt-password"});
  ASSERT_EQ(encrypted.status, 0) << encrypted.output;
  EXPECT_EQ(
      Security::CustomPassword::DecryptPassword(ServiceString::FromUtf8(encrypted.output)).Units(),
      u"hunter2");
  Result decrypted = Norvctl(encrypted.output + "\n", {"decrypt-password"});
  EXPECT_EQ(decrypted.status, 0);
  EXPECT_EQ(decrypted.output, "hunter2");

  // Bytes go through the code page unless --utf8 says otherwise.
  Result ansi = Norvctl("G\351rard", {"encrypt-password"});
  Result utf8 = Norvctl("G\303\251rard", {"encrypt-password", "--utf8"});
  for (const Result& r : {ansi, utf8}) {
    EXPECT_EQ(Security::CustomPassword::DecryptPassword(ServiceString::FromUtf8(r.output)).Units(),
              u"G\u00e9rard");
  }
}

TEST_F(NorvctlSettingsTest, BadInputFailsWithAMessage) {
  Result zero = Norvctl(std::string("ab\0cd", 5), {"encrypt-password"});
  EXPECT_EQ(zero.status, 1);
  EXPECT_EQ(zero.output, "norvctl: the password on standard input holds a zero byte");

  Result tampered = Norvctl("norv1:AAAA", {"decrypt-password"});
  EXPECT_EQ(tampered.status, 1);
  EXPECT_NE(tampered.output.find("norvctl: the encrypted password"), std::string::npos);

  Result none = Norvctl("", {"settings", "author-path"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.output.find(IO::AuthorSettings::FilePath().string()), std::string::npos);
}

TEST_F(NorvctlSettingsTest, AuthorPathIsSavedAndPrinted) {
  ASSERT_EQ(Norvctl("", {"settings", "author-path", "--utf8", "/srv/G\303\251rard"}).status, 0);
  Result printed = Norvctl("", {"settings", "author-path"});
  EXPECT_EQ(printed.status, 0);
  EXPECT_EQ(printed.output, "/srv/G\303\251rard");
  IO::AuthorSettings loaded;
  ASSERT_TRUE(loaded.Load());
  EXPECT_EQ(loaded.Path(), ServiceString(u"/srv/G\u00e9rard"));
}

}  // namespace
}  // namespace Norv
