// AuthorSettings: the author path of the process, the directory under which
// the preferred TD list documents of each author are kept.
//
// There is one settings object per process, reached through Default(). Path()
// and SetPath() may be called from any thread at any time; concurrent setters
// leave one of the paths. Setting the path changes only the object in memory:
// Load() and Save() read and write the small per-user settings file
// explicitly, and may also be called from any thread (concurrent saves leave
// one complete file, never a mix).
#ifndef NORV_SERVICES_AUTHOR_SETTINGS_H_
#define NORV_SERVICES_AUTHOR_SETTINGS_H_

#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "PlatformExport.h"
#include "ServiceString.h"

namespace Norv::IO {

// The settings file or its directory could not be read or written, or the
// file is not a settings file. The message names the path and the reason.
class NORV_PLATFORM_API SettingsFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~SettingsFileException() override;
};

class NORV_PLATFORM_API AuthorSettings {
 public:
  // The settings object of the process. It is never destroyed, so it may be
  // used from other objects' destructors and exit handlers.
  static AuthorSettings& Default();

  // A free-standing object (for tools and tests); its path starts null.
  AuthorSettings() = default;
  AuthorSettings(const AuthorSettings&) = delete;
  AuthorSettings& operator=(const AuthorSettings&) = delete;

  // The path last set or loaded; null until then.
  ServiceString Path() const;
  // Holds `path` as given (no checking or trimming) when it returns.
  void SetPath(ServiceString path);

  // Where Load() and Save() keep the settings: author-settings in
  // $XDG_CONFIG_HOME/norv/ (else ~/.config/norv/), resolved on every call.
  // Raises SettingsFileException when no home directory can be found.
  static std::filesystem::path FilePath();

  // Sets Path from the settings file and returns true; returns false and
  // leaves Path alone when there is no file. Raises SettingsFileException
  // when the file cannot be read or is not a settings file.
  bool Load();
  // Writes Path to the settings file atomically (a null path is saved as
  // the empty one), creating the directory with mode 0700 if needed. The
  // path is stored as UTF-8, so a lone surrogate comes back as U+FFFD.
  // Raises SettingsFileException; a failed save leaves the old file whole.
  void Save() const;

 private:
  mutable std::mutex mutex_;
  ServiceString path_;
};

}  // namespace Norv::IO

#endif  // NORV_SERVICES_AUTHOR_SETTINGS_H_
