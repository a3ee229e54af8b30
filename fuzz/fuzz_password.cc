// The encrypted-password reader on arbitrary text.
//
// The key is a fixed one written into a private XDG_CONFIG_HOME before the
// first input, so that the seed corpus can hold real encrypted passwords
// that decrypt. Each input is used twice:
// - as the text itself (each byte one character), which DecryptPassword must
//   either decrypt (and then the password must survive a fresh encryption)
//   or refuse with PasswordFormatException;
// - as a plaintext sealed under the key, which reaches the code behind the
//   authentication check with contents the real encryptor never writes.
#include <sodium.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "services/CustomPassword.h"
#include "services/ServiceString.h"

namespace {

using Norv::ServiceString;
using Norv::Fuzz::Check;
using Norv::Fuzz::Fail;
using Norv::Security::CustomPassword;
using Norv::Security::PasswordFormatException;

// The key of the seed corpus: bytes 0, 1, ..., 31.
unsigned char gKey[crypto_secretbox_KEYBYTES];

void WriteFixedKey() {
  for (std::size_t i = 0; i < sizeof gKey; ++i) gKey[i] = static_cast<unsigned char>(i);
  const std::filesystem::path config = Norv::Fuzz::ScratchDirectory::Path() / "config";
  const std::filesystem::path dir = config / "norv";
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
  const std::filesystem::path key = dir / "password.key";
  {
    std::ofstream out(key, std::ios::binary);
    out.write(reinterpret_cast<const char*>(gKey), sizeof gKey);
    if (!out) Fail("cannot write the fuzz key " + key.string());
  }
  std::filesystem::permissions(
      key, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  if (::setenv("XDG_CONFIG_HOME", config.c_str(), 1) != 0) Fail("cannot set XDG_CONFIG_HOME");
  Check(CustomPassword::KeyFilePath() == key, "the password key is not the fuzz key");
}

// Decrypts `text`; nullopt when it is refused as documented.
std::optional<ServiceString> Decrypt(const ServiceString& text) {
  try {
    ServiceString password = CustomPassword::DecryptPassword(text);
    Check(!password.IsNull(), "DecryptPassword answered null");
    Check(CustomPassword::IsEncryptedPassword(text), "text without the prefix decrypted");
    return password;
  } catch (const PasswordFormatException& e) {
    Check(*e.what() != '\0', "a password format error has no message");
    return std::nullopt;
  }
}

void CheckRoundTrip(const ServiceString& password) {
  const ServiceString again = CustomPassword::EncryptPassword(password);
  Check(CustomPassword::IsEncryptedPassword(again), "an encrypted password lacks its prefix");
  Check(CustomPassword::DecryptPassword(again) == password,
        "a decrypted password did not survive a fresh encryption");
}

// `plain` sealed under the fuzz key, in the encrypted text form.
ServiceString Seal(const std::uint8_t* plain, std::size_t size) {
  std::vector<unsigned char> box(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + size);
  // A fixed nonce: fine for a key that protects nothing.
  crypto_secretbox_easy(box.data() + crypto_secretbox_NONCEBYTES, plain, size, box.data(), gKey);
  std::string base64(sodium_base64_encoded_len(box.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(base64.data(), base64.size(), box.data(), box.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  base64.resize(std::strlen(base64.c_str()));
  std::u16string text = u"norv1:";
  text.append(base64.begin(), base64.end());
  return ServiceString(std::move(text));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (sodium_init() < 0) Fail("libsodium could not be initialised");
  WriteFixedKey();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ServiceString text(std::u16string(data, data + size));
  if (std::optional<ServiceString> password = Decrypt(text)) CheckRoundTrip(*password);

  if (std::optional<ServiceString> password = Decrypt(Seal(data, size))) {
    // The password is the start of the plaintext, two bytes a unit.
    const std::u16string& units = password->Units();
    Check(units.size() * 2 <= size, "a password is longer than its plaintext");
    for (std::size_t i = 0; i < units.size(); ++i) {
      Check(units[i] == (data[2 * i] | (data[2 * i + 1] << 8)),
            "a password differs from its plaintext");
    }
  }
  return 0;
}
