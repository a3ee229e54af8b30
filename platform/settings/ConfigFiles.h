// Helpers for the small per-user files of the settings and security
// platform: where they live, a private directory for them, and atomic
// creation and replacement (a reader sees the old file or the new one, never
// a part; a crash leaves at most a stray temporary file).
//
// Failures come back as a sentence in `*error` (naming the path and the
// system's reason) so that each caller raises its own exception type.
// Thread-safe: the functions keep no state.
#ifndef NORV_PLATFORM_SETTINGS_CONFIG_FILES_H_
#define NORV_PLATFORM_SETTINGS_CONFIG_FILES_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/UniqueFd.h"

namespace Norv::Platform::internal {

// $XDG_CONFIG_HOME/norv when that is an absolute path, else $HOME/.config/norv,
// else the password database's home; read from the environment on every call.
std::optional<std::filesystem::path> ConfigDirectory(std::string* error);

// Creates `dir` (and missing parents) with mode 0700. An existing directory
// must be ours and writable by nobody else, since whoever can write it can
// replace the files in it.
bool EnsurePrivateDirectory(const std::filesystem::path& dir, std::string* error);

// Writes `bytes` to `target` atomically: a temporary file from mkstemp in the
// same directory (mode 0600), fsync, rename over `target`, fsync of the
// directory.
bool ReplaceFile(const std::filesystem::path& target, std::string_view bytes, std::string* error);

// Like ReplaceFile, but never replaces an existing `target`: link() publishes
// the temporary file only if nothing is there yet. Sets `*created` to false
// (and returns true) when another writer got there first.
bool CreateFileExclusive(const std::filesystem::path& target, std::string_view bytes, bool* created,
                         std::string* error);

// "what path: reason" for the current errno.
std::string SystemError(std::string_view what, const std::filesystem::path& path);

}  // namespace Norv::Platform::internal

#endif  // NORV_PLATFORM_SETTINGS_CONFIG_FILES_H_
