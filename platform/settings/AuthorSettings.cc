#include "services/AuthorSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform/settings/ConfigFiles.h"

namespace Norv::IO {

namespace {

using Platform::internal::SystemError;
using Platform::internal::UniqueFd;

// The first line of a settings file; the path follows on the next line and
// runs to the end of the file, less one final newline.
constexpr std::string_view kHeader = "norv-author-settings 1\n";
// A settings file holds one path; anything larger is not one.
constexpr off_t kMaxFileSize = 64 * 1024;

[[noreturn]] void Fail(std::string message) { throw SettingsFileException(std::move(message)); }

std::string ReadSmallFile(const std::filesystem::path& file, UniqueFd fd) {
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0) Fail(SystemError("cannot inspect the settings file", file));
  if (!S_ISREG(status.st_mode))
    Fail("the settings file " + file.string() + " is not a regular file");
  if (status.st_size > kMaxFileSize) {
    Fail("the settings file " + file.string() + " is larger than " + std::to_string(kMaxFileSize) +
         " bytes, so it is not a settings file");
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(SystemError("cannot read the settings file", file));
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > static_cast<std::size_t>(kMaxFileSize)) {
      Fail("the settings file " + file.string() + " grew beyond " + std::to_string(kMaxFileSize) +
           " bytes while being read");
    }
  }
  return bytes;
}

}  // namespace

SettingsFileException::~SettingsFileException() = default;

AuthorSettings& AuthorSettings::Default() {
  // Never destroyed: callers may still reach it while the process exits.
  static AuthorSettings* settings = new AuthorSettings();
  return *settings;
}

ServiceString AuthorSettings::Path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

void AuthorSettings::SetPath(ServiceString path) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = std::move(path);
}

std::filesystem::path AuthorSettings::FilePath() {
  std::string error;
  std::optional<std::filesystem::path> dir = Platform::internal::ConfigDirectory(&error);
  if (!dir) Fail("cannot locate the author settings: " + error);
  return *dir / "author-settings";
}

bool AuthorSettings::Load() {
  const std::filesystem::path file = FilePath();
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.Valid()) {
    if (errno == ENOENT) return false;
    Fail(SystemError("cannot open the settings file", file));
  }
  std::string bytes = ReadSmallFile(file, std::move(fd));
  if (bytes.compare(0, kHeader.size(), kHeader) != 0) {
    Fail("the settings file " + file.string() + " does not start with the line \"" +
         std::string(kHeader.substr(0, kHeader.size() - 1)) + "\"");
  }
  std::string_view path = std::string_view(bytes).substr(kHeader.size());
  if (!path.empty() && path.back() == '\n') path.remove_suffix(1);
  SetPath(ServiceString::FromUtf8(path));
  return true;
}

void AuthorSettings::Save() const {
  const std::filesystem::path file = FilePath();
  std::string bytes(kHeader);
  bytes += Path().ToUtf8();
  bytes += '\n';
  std::string error;
  if (!Platform::internal::EnsurePrivateDirectory(file.parent_path(), &error) ||
      !Platform::internal::ReplaceFile(file, bytes, &error)) {
    Fail("cannot save the author settings: " + error);
  }
}

}  // namespace Norv::IO
