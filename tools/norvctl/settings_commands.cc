// norvctl encrypt-password / decrypt-password / settings author-path.
//   encrypt-password   reads a password from standard input (never from the
//                      command line, where other users could see it in the
//                      process list) and prints its encrypted form, exactly
//                      as the EncryptPassword bridge function returns it for
//                      those bytes (decoded by the ANSI code page); --utf8
//                      decodes them as UTF-8 instead, as typed on a UTF-8
//                      terminal.
//   decrypt-password   reads an encrypted password from standard input and
//                      prints the password as UTF-8, to check a stored one.
//   settings author-path [PATH]
//                      with PATH, sets the author path through the bridge
//                      (or as UTF-8 with --utf8) and saves it to the
//                      settings file; without, prints the saved path as
//                      UTF-8.
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include "norv/interop/Settings.h"
#include "services/AuthorSettings.h"
#include "services/CustomPassword.h"
#include "tools/norvctl/Commands.h"
#include "tools/norvctl/Secrets.h"

namespace Norv::Ctl {
namespace {

// Standard input: one line from a terminal (asking on stderr, without echo),
// else everything up to end of file; one final line ending is dropped.
void ReadInput(const char* prompt, SecretString& input) {
  const bool terminal = ::isatty(STDIN_FILENO);
  if (terminal) {
    std::fputs(prompt, stderr);
    std::fflush(stderr);
  }
  {
    EchoOff quiet(STDIN_FILENO);
    int c;
    while ((c = std::getchar()) != EOF) {
      if (terminal && c == '\n') break;
      input.text.push_back(static_cast<char>(c));
    }
  }
  if (terminal) std::fputc('\n', stderr);
  if (std::ferror(stdin)) throw std::runtime_error("cannot read standard input");
  if (!input.text.empty() && input.text.back() == '\n') input.text.pop_back();
  if (!input.text.empty() && input.text.back() == '\r') input.text.pop_back();
}

void EncryptPasswordCommand(bool utf8) {
  SecretString password;
  ReadInput("Password: ", password);
  if (password.text.find('\0') != std::string::npos) {
    // The bridge reads a C string and would silently encrypt only the part
    // before the zero byte.
    throw std::invalid_argument("the password on standard input holds a zero byte");
  }
  if (utf8) {
    std::cout << Security::CustomPassword::EncryptPassword(ServiceString::FromUtf8(password.text))
                     .ToUtf8()
              << '\n';
  } else {
    std::cout << Interop::EncryptPassword(password.text.data()) << '\n';
  }
}

void DecryptPasswordCommand() {
  SecretString encrypted;
  ReadInput("Encrypted password: ", encrypted);
  const auto first = encrypted.text.find_first_not_of(" \t\r\n");
  const auto last = encrypted.text.find_last_not_of(" \t\r\n");
  const std::string text =
      first == std::string::npos ? std::string() : encrypted.text.substr(first, last - first + 1);
  SecretString password{
      Security::CustomPassword::DecryptPassword(ServiceString::FromUtf8(text)).ToUtf8()};
  std::cout << password.text << '\n';
}

void AuthorPathCommand(const std::string* path, bool utf8) {
  IO::AuthorSettings& settings = IO::AuthorSettings::Default();
  if (path != nullptr) {
    if (utf8) {
      settings.SetPath(ServiceString::FromUtf8(*path));
    } else {
      IO::Interop::SetAuthorPath(path->c_str());
    }
    settings.Save();
    return;
  }
  if (!settings.Load()) {
    throw std::runtime_error("no author path is saved in " +
                             IO::AuthorSettings::FilePath().string());
  }
  std::cout << settings.Path().ToUtf8() << '\n';
}

}  // namespace

void AddSettingsCommands(CLI::App& app) {
  CLI::App* encrypt = app.add_subcommand(
      "encrypt-password",
      "Encrypt the password read from standard input (decoded by the ANSI code page, as the "
      "bridge decodes it) under the user's key, and print the result");
  static bool encryptUtf8 = false;
  encrypt->add_flag("--utf8", encryptUtf8, "Decode the password as UTF-8, not by the code page");
  encrypt->callback([] { Guarded([] { EncryptPasswordCommand(encryptUtf8); }); });

  CLI::App* decrypt = app.add_subcommand(
      "decrypt-password",
      "Decrypt the encrypted password read from standard input and print the password as UTF-8");
  decrypt->callback([] { Guarded(DecryptPasswordCommand); });

  CLI::App& settings = GetOrAddSubcommand(app, "settings", "The saved settings");
  CLI::App* authorPath = settings.add_subcommand(
      "author-path", "Print the saved author path, or set and save it when PATH is given");
  static std::string path;
  static bool pathUtf8 = false;
  authorPath->add_option("PATH", path, "The new author path (saved as given)");
  authorPath->add_flag("--utf8", pathUtf8, "Decode PATH as UTF-8, not by the code page");
  authorPath->callback([authorPath] {
    Guarded(
        [authorPath] { AuthorPathCommand(authorPath->count("PATH") ? &path : nullptr, pathUtf8); });
  });
}

}  // namespace Norv::Ctl
