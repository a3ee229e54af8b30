#include "services/CustomPassword.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Mutex.h"
#include "base/NoDestructor.h"
#include "platform/security/PasswordTesting.h"
#include "platform/settings/ConfigFiles.h"

namespace Norv::Security {

namespace {

using Platform::internal::SystemError;
using Platform::internal::UniqueFd;

constexpr std::u16string_view kPrefix = u"norv1:";
// Plaintexts are padded to a multiple of this many bytes (16 code units), so
// that the encrypted text shows only a rounded-up length.
constexpr std::size_t kPadBlock = 32;
constexpr int kBase64Variant = sodium_base64_VARIANT_ORIGINAL;
constexpr std::size_t kOverhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;

// Bytes that are wiped when they go out of scope.
class SecretBytes {
 public:
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  ~SecretBytes() { sodium_memzero(bytes_.data(), bytes_.size()); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  unsigned char* Data() noexcept { return bytes_.data(); }
  std::size_t Size() const noexcept { return bytes_.size(); }

 private:
  std::vector<unsigned char> bytes_;
};

void InitSodium() {
  // sodium_init() is itself safe to repeat; the static keeps it to one call.
  static const bool initialised = sodium_init() >= 0;
  if (!initialised) throw std::runtime_error("libsodium could not be initialised");
}

[[noreturn]] void FailKey(std::string message) { throw KeyFileException(std::move(message)); }
[[noreturn]] void FailFormat(std::string message) {
  throw PasswordFormatException(std::move(message));
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Reads the key at `file` into `key`; false when there is no file. Anything
// but a regular file of ours, private to us and of the key's exact size is
// refused, since a key that others could read or have planted protects
// nothing.
bool ReadKey(const std::filesystem::path& file, SecretBytes& key) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (!fd.Valid()) {
    if (errno == ENOENT) return false;
    if (errno == ELOOP) {
      FailKey("the key file " + file.string() +
              " is a symbolic link; it must be a regular file (replace the link by the file)");
    }
    FailKey(SystemError("cannot open the key file", file));
  }
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0) FailKey(SystemError("cannot inspect the key file", file));
  if (!S_ISREG(status.st_mode)) {
    FailKey("the key file " + file.string() + " is not a regular file");
  }
  if (status.st_uid != ::geteuid()) {
    FailKey("the key file " + file.string() + " belongs to user " + std::to_string(status.st_uid) +
            ", not to the running user " + std::to_string(::geteuid()));
  }
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    FailKey("the key file " + file.string() + " is open to group or others (mode " +
            ModeText(status.st_mode) + "); run chmod 600 " + file.string());
  }
  if (status.st_size != static_cast<off_t>(key.Size())) {
    FailKey("the key file " + file.string() + " holds " + std::to_string(status.st_size) +
            " bytes instead of " + std::to_string(key.Size()) +
            "; restore it, or remove it to make a new key (passwords encrypted under the old "
            "key then no longer decrypt)");
  }
  std::size_t done = 0;
  while (done < key.Size()) {
    ssize_t n = ::read(fd.Get(), key.Data() + done, key.Size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) FailKey(SystemError("cannot read the key file", file));
    if (n == 0) FailKey("the key file " + file.string() + " was cut short while being read");
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The user's key, made on first use when `create` is set. Whoever loses a
// race to create it reads the winner's key, so every caller ends up with
// the one in the file.
void LoadKey(SecretBytes& key, bool create) {
  const std::filesystem::path file = CustomPassword::KeyFilePath();
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (ReadKey(file, key)) return;
    if (!create) {
      FailKey("there is no key file " + file.string() +
              ", so no password encrypted under it can be decrypted");
    }
    std::string error;
    if (!Platform::internal::EnsurePrivateDirectory(file.parent_path(), &error)) {
      FailKey("cannot make the password key: " + error);
    }
    SecretBytes fresh(crypto_secretbox_KEYBYTES);
    randombytes_buf(fresh.Data(), fresh.Size());
    bool created = false;
    if (!Platform::internal::CreateFileExclusive(
            file, std::string_view(reinterpret_cast<const char*>(fresh.Data()), fresh.Size()),
            &created, &error)) {
      FailKey("cannot make the password key: " + error);
    }
  }
  FailKey("the key file " + file.string() + " disappeared each time after it was created");
}

// The test seam's fixed answer of EncryptPassword; never destroyed.
struct EncryptOverride {
  Base::Mutex mu;
  std::optional<ServiceString> answer ABSL_GUARDED_BY(mu);
};

EncryptOverride& Override() {
  static Base::NoDestructor<EncryptOverride> instance;
  return *instance;
}

}  // namespace

PasswordFormatException::~PasswordFormatException() = default;
KeyFileException::~KeyFileException() = default;

std::filesystem::path CustomPassword::KeyFilePath() {
  std::string error;
  std::optional<std::filesystem::path> dir = Platform::internal::ConfigDirectory(&error);
  if (!dir) FailKey("cannot locate the password key: " + error);
  return *dir / "password.key";
}

bool CustomPassword::IsEncryptedPassword(const ServiceString& text) noexcept {
  return std::u16string_view(text.Units()).substr(0, kPrefix.size()) == kPrefix;
}

ServiceString CustomPassword::EncryptPassword(const ServiceString& password) {
  {
    EncryptOverride& fixed = Override();
    Base::MutexLock lock(&fixed.mu);
    if (fixed.answer) return *fixed.answer;
  }
  InitSodium();
  SecretBytes key(crypto_secretbox_KEYBYTES);
  LoadKey(key, /*create=*/true);

  const std::u16string& units = password.Units();  // empty for null
  const std::size_t unpadded = units.size() * 2;
  SecretBytes plain(unpadded + kPadBlock);
  for (std::size_t i = 0; i < units.size(); ++i) {
    plain.Data()[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
    plain.Data()[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
  }
  std::size_t padded = 0;
  if (sodium_pad(&padded, plain.Data(), unpadded, kPadBlock, plain.Size()) != 0) {
    throw std::logic_error("password padding overflowed its buffer");
  }

  std::vector<unsigned char> box(kOverhead + padded);
  randombytes_buf(box.data(), crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(box.data() + crypto_secretbox_NONCEBYTES, plain.Data(), padded, box.data(),
                        key.Data());

  std::string base64(sodium_base64_encoded_len(box.size(), kBase64Variant), '\0');
  sodium_bin2base64(base64.data(), base64.size(), box.data(), box.size(), kBase64Variant);
  base64.resize(std::strlen(base64.c_str()));

  std::u16string text(kPrefix.size() + base64.size(), u'\0');
  std::copy(kPrefix.begin(), kPrefix.end(), text.begin());
  std::copy(base64.begin(), base64.end(), text.begin() + kPrefix.size());
  return ServiceString(std::move(text));
}

ServiceString CustomPassword::DecryptPassword(const ServiceString& encrypted) {
  if (encrypted.IsNull()) FailFormat("a null string is not an encrypted password");
  if (!IsEncryptedPassword(encrypted)) {
    FailFormat("the text is not an encrypted password: it does not start with \"norv1:\"");
  }
  std::u16string_view tail = std::u16string_view(encrypted.Units()).substr(kPrefix.size());
  std::string base64;
  base64.reserve(tail.size());
  for (char16_t unit : tail) {
    if (unit >= 0x80) FailFormat("the encrypted password holds a character that is not base64");
    base64.push_back(static_cast<char>(unit));
  }
  std::vector<unsigned char> box(base64.size() / 4 * 3 + 3);
  std::size_t length = 0;
  // Without an end pointer libsodium fails unless the whole text decodes.
  if (sodium_base642bin(box.data(), box.size(), base64.data(), base64.size(), nullptr, &length,
                        nullptr, kBase64Variant) != 0) {
    FailFormat("the encrypted password is not valid base64 (it was altered or cut short)");
  }
  if (length < kOverhead + kPadBlock) {
    FailFormat("the encrypted password is too short to hold a password (it was cut short)");
  }

  InitSodium();
  SecretBytes key(crypto_secretbox_KEYBYTES);
  LoadKey(key, /*create=*/false);
  SecretBytes plain(length - kOverhead);
  if (crypto_secretbox_open_easy(plain.Data(), box.data() + crypto_secretbox_NONCEBYTES,
                                 length - crypto_secretbox_NONCEBYTES, box.data(),
                                 key.Data()) != 0) {
    FailFormat("the encrypted password does not authenticate under the key " +
               KeyFilePath().string() + ": it was altered or cut short, or made under another key");
  }
  std::size_t unpadded = 0;
  if (sodium_unpad(&unpadded, plain.Data(), plain.Size(), kPadBlock) != 0 || unpadded % 2 != 0) {
    FailFormat("the encrypted password authenticates but holds no password in the expected form");
  }
  std::u16string units(unpadded / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(plain.Data()[2 * i] | (plain.Data()[2 * i + 1] << 8));
  }
  return ServiceString(std::move(units));
}

namespace testing {

void SetEncryptAnswer(std::optional<ServiceString> answer) {
  EncryptOverride& fixed = Override();
  Base::MutexLock lock(&fixed.mu);
  fixed.answer = std::move(answer);
}

}  // namespace testing

}  // namespace Norv::Security
