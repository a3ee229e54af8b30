// CustomPassword: encrypts a password so that it can be kept in a
// configuration file or sent to the data service without being readable by
// other users, and decrypts it again.
//
// The text is XSalsa20-Poly1305 (libsodium's secretbox) under a random 256-bit
// key that is private to the user: the file password.key in
// $XDG_CONFIG_HOME/norv/ (else ~/.config/norv/), resolved on every call and
// created with mode 0600 on first use. Each encryption draws a fresh nonce, so
// one password encrypts differently every time. Anyone who can run programs as
// the same user can read the key and so decrypt; see
// /usr/share/doc/libnorv-interop-dev/security.md.
//
// The encrypted form is printable ASCII: "norv1:" followed by standard base64
// (with padding) of nonce, tag and ciphertext. The plaintext is the
// password's UTF-16 code units, two bytes each (little-endian), padded to a
// multiple of 16 code units, so every string (lone surrogates and U+0000
// included) comes back exactly and only the rounded-up length shows.
//
// All functions are safe to call from any thread and from several processes
// at once (two processes creating the key at the same moment end up with
// one key).
#ifndef NORV_SERVICES_CUSTOM_PASSWORD_H_
#define NORV_SERVICES_CUSTOM_PASSWORD_H_

#include <filesystem>
#include <stdexcept>

#include "PlatformExport.h"
#include "ServiceString.h"

namespace Norv::Security {

// The text given to DecryptPassword is not an encrypted password, or it was
// altered, cut short or made under another key. The message never repeats
// the text itself.
class NORV_PLATFORM_API PasswordFormatException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~PasswordFormatException() override;
};

// The key file or its directory cannot be used: wrong permissions, owner,
// type or size, or an I/O failure. The message names the path and the fix.
class NORV_PLATFORM_API KeyFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~KeyFileException() override;
};

class NORV_PLATFORM_API CustomPassword {
 public:
  CustomPassword() = delete;

  // The encrypted form of `password` (a null password is encrypted as the
  // empty one). Raises KeyFileException.
  static ServiceString EncryptPassword(const ServiceString& password);
  // The password that EncryptPassword encrypted into `encrypted` (never
  // null). Raises PasswordFormatException or KeyFileException.
  static ServiceString DecryptPassword(const ServiceString& encrypted);
  // Whether `text` carries the prefix of an encrypted password. Says nothing
  // about whether it decrypts; for callers that accept either form.
  static bool IsEncryptedPassword(const ServiceString& text) noexcept;

  // The key file used by the next call.
  static std::filesystem::path KeyFilePath();
};

}  // namespace Norv::Security

#endif  // NORV_SERVICES_CUSTOM_PASSWORD_H_
