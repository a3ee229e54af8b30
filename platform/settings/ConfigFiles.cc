#include "platform/settings/ConfigFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/base/Files.h"

namespace Norv::Platform::internal {

std::string SystemError(std::string_view what, const std::filesystem::path& path) {
  const int error = errno;
  return std::string(what) + " " + path.string() + ": " +
         std::error_code(error, std::generic_category()).message();
}

namespace {

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool MakeDirectories(const std::filesystem::path& dir, std::string* error) {
  if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (errno == ENOENT && dir.has_relative_path() && dir.parent_path() != dir) {
    if (!MakeDirectories(dir.parent_path(), error)) return false;
    if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
  }
  *error = SystemError("cannot create the directory", dir);
  return false;
}

bool SyncParent(const std::filesystem::path& target, std::string* error) {
  if (!SyncDirectory(target.parent_path())) {
    *error = SystemError("cannot flush the directory", target.parent_path());
    return false;
  }
  return true;
}

// Writes `bytes` to a new temporary file beside `target` and flushes it.
bool WriteTemporary(TemporaryFile& temp, const std::filesystem::path& target,
                    std::string_view bytes, std::string* error) {
  if (!temp.Create((target.parent_path() / ("." + target.filename().string() + ".")).string())) {
    *error = SystemError("cannot create a temporary file in", target.parent_path());
    return false;
  }
  if (!WriteAll(temp.Fd(), bytes) || !temp.Sync() || !temp.Close()) {
    *error = SystemError("cannot write", temp.Path());
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::filesystem::path> ConfigDirectory(std::string* error) {
  // XDG base directory rules: a relative XDG_CONFIG_HOME is ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "norv";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::filesystem::path(home) / ".config" / "norv";
  }
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::filesystem::path(found->pw_dir) / ".config" / "norv";
  }
  *error = "no configuration directory: XDG_CONFIG_HOME and HOME are unset or relative and user " +
           std::to_string(::geteuid()) + " has no home directory";
  return std::nullopt;
}

bool EnsurePrivateDirectory(const std::filesystem::path& dir, std::string* error) {
  if (!MakeDirectories(dir, error)) return false;
  struct stat status {};
  if (::stat(dir.c_str(), &status) != 0) {
    *error = SystemError("cannot inspect the directory", dir);
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    *error = "the configuration directory " + dir.string() + " is not a directory";
    return false;
  }
  if (status.st_uid != ::geteuid()) {
    *error = "the configuration directory " + dir.string() + " belongs to user " +
             std::to_string(status.st_uid) + ", not to the running user " +
             std::to_string(::geteuid());
    return false;
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *error = "the configuration directory " + dir.string() + " is writable by others (mode " +
             ModeText(status.st_mode) + "); run chmod go-w " + dir.string();
    return false;
  }
  return true;
}

bool ReplaceFile(const std::filesystem::path& target, std::string_view bytes, std::string* error) {
  TemporaryFile temp;
  if (!WriteTemporary(temp, target, bytes, error)) return false;
  if (!temp.RenameTo(target)) {
    *error = SystemError("cannot replace", target);
    return false;
  }
  return SyncParent(target, error);
}

bool CreateFileExclusive(const std::filesystem::path& target, std::string_view bytes, bool* created,
                         std::string* error) {
  TemporaryFile temp;
  if (!WriteTemporary(temp, target, bytes, error)) return false;
  // link() fails with EEXIST instead of replacing, which rename() would do.
  if (::link(temp.Path().c_str(), target.c_str()) != 0) {
    if (errno != EEXIST) {
      *error = SystemError("cannot create", target);
      return false;
    }
    *created = false;
    return true;
  }
  *created = true;
  return SyncParent(target, error);
}

}  // namespace Norv::Platform::internal
