#include "platform/documents/DocumentStore.h"
#include "platform/base/Cancellation.h"
#include "platform/base/Files.h"
#include "platform/base/UniqueFd.h"
#include "platform/documents/DocumentTesting.h"
#include "services/Text.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace Norv::PreferredTDList {

DocumentException::~DocumentException() = default;

namespace {

using internal::Document;
using internal::DocumentPathIn;
using internal::FormatDocument;
using internal::kLockName;
using internal::kTemporaryPrefix;

constexpr int kStepCount = 5;
std::atomic<bool> gStepFails[kStepCount] = {};
std::atomic<std::int64_t> gLockTimeoutMs{30000};

bool StepFails(testing::WriteStep step) {
  return gStepFails[static_cast<int>(step)].load(std::memory_order_relaxed);
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

using Platform::internal::CancellationDeferred;
using Platform::internal::CancellationPoint;
using Platform::internal::SyncDirectory;
using Platform::internal::TemporaryFile;
using Platform::internal::UniqueFd;
using Platform::internal::WriteAll;

[[noreturn]] void ThrowSaveError(const std::string& documentPath, const std::string& what,
                                 int error) {
  throw DocumentException(
      "cannot save the preferred TD list " + documentPath + ": " + what + ": " + ErrorText(error),
      documentPath);
}

// Holds the directory's side lock file under flock(LOCK_EX) for its lifetime.
// The lock is polled rather than awaited so that a save stuck in another
// process costs a bounded wait, not a hang.
class DirectoryLock {
 public:
  // Read-only is enough for flock, and lets authors who share a directory
  // use a lock file that another of them created.
  DirectoryLock(const std::string& directory, const std::string& documentPath)
      : path_(directory + "/" + std::string(kLockName)),
        fd_(::open(path_.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644)) {
    const std::string& path = path_;
    if (fd_.Get() < 0) ThrowSaveError(documentPath, "cannot open the lock file " + path, errno);
    const auto timeout = std::chrono::milliseconds(gLockTimeoutMs.load(std::memory_order_relaxed));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(500);
    while (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) ThrowSaveError(documentPath, "cannot lock " + path, errno);
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        throw DocumentException("cannot save the preferred TD list " + documentPath +
                                    ": another save held the lock " + path + " for more than " +
                                    std::to_string(timeout.count()) + " ms",
                                documentPath);
      }
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
      CancellationPoint();  // a host may cancel a save that waits here
      pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

// Temporary files left by a save that was killed. Every writer holds the
// lock while its temporary file exists, so under the lock any of them is
// garbage. Failing to remove one loses nothing, so failures are ignored.
void RemoveStaleTemporaries(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() == kTemporaryPrefix.size() + 6 && name.starts_with(kTemporaryPrefix)) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
  }
  ::closedir(dir);
}

void WriteTemporary(TemporaryFile& temporary, std::string_view data,
                    const std::string& documentPath) {
  int error = 0;
  if (StepFails(testing::WriteStep::kWrite)) {
    // A partial write, as a full disk leaves it.
    WriteAll(temporary.Fd(), data.substr(0, data.size() / 2));
    error = EIO;
  } else if (!WriteAll(temporary.Fd(), data)) {
    error = errno;
  }
  if (error != 0) {
    ThrowSaveError(documentPath, "writing the temporary file " + temporary.Path() + " failed",
                   error);
  }
}

void SaveDocument(const std::string& directory, const Document& document) {
  const std::string documentPath = DocumentPathIn(directory);
  const std::string text = FormatDocument(document);

  // The new document keeps the permissions of the one it replaces.
  mode_t mode = 0644;
  struct stat old {};
  if (::stat(documentPath.c_str(), &old) == 0) mode = old.st_mode & 0777;

  if (StepFails(testing::WriteStep::kCreateTemporary)) {
    ThrowSaveError(documentPath, "cannot create a temporary file in " + directory, EIO);
  }
  TemporaryFile temporary;
  if (!temporary.Create(directory + "/" + std::string(kTemporaryPrefix))) {
    ThrowSaveError(documentPath, "cannot create a temporary file in " + directory, errno);
  }
  const std::string temporaryPath = temporary.Path();
  WriteTemporary(temporary, text, documentPath);
  if (::fchmod(temporary.Fd(), mode) != 0) {
    ThrowSaveError(documentPath, "cannot set the mode of " + temporaryPath, errno);
  }
  if (StepFails(testing::WriteStep::kSync)) {
    ThrowSaveError(documentPath, "flushing the temporary file " + temporaryPath + " failed", EIO);
  }
  if (!temporary.Sync()) {
    ThrowSaveError(documentPath, "flushing the temporary file " + temporaryPath + " failed", errno);
  }
  if (!temporary.Close()) {
    ThrowSaveError(documentPath, "closing the temporary file " + temporaryPath + " failed", errno);
  }
  if (StepFails(testing::WriteStep::kRename)) {
    ThrowSaveError(documentPath, "renaming " + temporaryPath + " over it failed", EIO);
  }
  if (!temporary.RenameTo(documentPath)) {
    ThrowSaveError(documentPath, "renaming " + temporaryPath + " over it failed", errno);
  }

  // Without this the rename itself may not survive a power failure. The new
  // document is in place by now; the caller still hears of the failure.
  int error = EIO;
  if (!StepFails(testing::WriteStep::kSyncDirectory)) error = SyncDirectory(directory) ? 0 : errno;
  if (error != 0) {
    ThrowSaveError(documentPath,
                   "the document was replaced, but flushing the directory " + directory +
                       " failed, so the change may not survive a crash",
                   error);
  }
}

bool IsUnpairedSurrogate(const std::u16string& units, std::size_t i) {
  const char16_t unit = units[i];
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    return i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF;
  }
  if (unit >= 0xDC00 && unit <= 0xDFFF) {
    return i == 0 || units[i - 1] < 0xD800 || units[i - 1] > 0xDBFF;
  }
  return false;
}

}  // namespace

namespace testing {

void SetWriteStepFails(WriteStep step, bool fails) noexcept {
  gStepFails[static_cast<int>(step)].store(fails, std::memory_order_relaxed);
}

void SetLockTimeout(std::chrono::milliseconds timeout) noexcept {
  gLockTimeoutMs.store(timeout.count(), std::memory_order_relaxed);
}

}  // namespace testing

namespace internal {

DirectoryName ResolveDirectoryName(const ServiceString& directory) {
  const std::u16string& units = directory.Units();
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i] == 0 || IsUnpairedSurrogate(units, i)) {
      std::string prefix = ServiceString(units.substr(0, i)).ToUtf8();
      std::string refusal = "the author directory name " + prefix + "... holds " +
                            (units[i] == 0 ? "a NUL character" : "an unpaired surrogate") +
                            " at position " + std::to_string(i) + ", which no file name can hold";
      return {{}, std::move(refusal), std::move(prefix)};
    }
  }
  // The file name is the caller's own bytes: the text goes back through the
  // code page it was decoded with (under 1252 the UTF-8 bytes of "café"
  // decode to "cafÃ©", whose UTF-8 would name another directory).
  std::optional<std::string> bytes = Text::EncodeAnsi(units);
  std::string text = directory.ToUtf8();
  if (units.find(u'\uFFFD') != std::u16string::npos) {
    std::string refusal =
        "the author directory name " + text + " holds a byte that is no character in code page " +
        std::to_string(Text::AnsiCodePage()) + ", so its bytes cannot be written back";
    return {{}, std::move(refusal), std::move(text)};
  }
  if (!bytes) {
    std::string refusal =
        "the author directory name " + text + " holds a character that code page " +
        std::to_string(Text::AnsiCodePage()) + " cannot write back as a file name";
    return {{}, std::move(refusal), std::move(text)};
  }
  // Earlier releases named the directory by the text's UTF-8; a document
  // saved there stays where it is while no directory of the caller's bytes
  // exists.
  struct stat info;
  if (*bytes != text && ::stat(bytes->c_str(), &info) != 0 && ::stat(text.c_str(), &info) == 0 &&
      S_ISDIR(info.st_mode)) {
    return {text, {}, text};
  }
  return {std::move(*bytes), {}, std::move(text)};
}

std::string DocumentPathIn(const std::string& directory) {
  if (directory.empty()) return {};
  if (directory.back() == '/') return directory + std::string(kDocumentName);
  return directory + "/" + std::string(kDocumentName);
}

std::optional<Document> ReadDocument(const std::string& directory) {
  if (directory.empty()) return std::nullopt;
  const std::string path = DocumentPathIn(directory);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw DocumentException("cannot read the preferred TD list " + path + ": " + ErrorText(errno),
                            path);
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    throw DocumentException("cannot read the preferred TD list " + path + ": " + ErrorText(errno),
                            path);
  }
  if (!S_ISREG(st.st_mode)) {
    throw DocumentException("the preferred TD list " + path + " is not a regular file", path);
  }
  std::string text;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) text.resize(text.size() + 4096);
    const ssize_t got = ::read(fd.Get(), text.data() + filled, text.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw DocumentException("cannot read the preferred TD list " + path + ": " + ErrorText(errno),
                              path);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  text.resize(filled);
  return ParseDocument(text, path);
}

bool DocumentExists(const std::string& directory) {
  if (directory.empty()) return false;
  const std::string path = DocumentPathIn(directory);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  throw DocumentException(
      "cannot tell whether the preferred TD list " + path + " exists: " + ErrorText(errno), path);
}

bool UpdateDocument(const std::string& directory, const DocumentChange& change) {
  if (directory.empty()) {
    throw DocumentException(
        "cannot save a preferred TD list: no author directory was named (the empty name), and "
        "the current directory is never used in its place",
        "");
  }
  const std::string documentPath = DocumentPathIn(directory);
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      throw DocumentException("cannot save the preferred TD list " + documentPath +
                                  ": the author directory " + directory + " does not exist",
                              documentPath);
    }
    ThrowSaveError(documentPath, "cannot examine the author directory " + directory, errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    throw DocumentException("cannot save the preferred TD list " + documentPath + ": " + directory +
                                " is not a directory",
                            documentPath);
  }
  // A cancellation of the thread acts only between the lock's polls; once
  // the lock is held the save runs to its end (bounded by the disk) and the
  // cancellation acts after it: write and fsync, where glibc would act on
  // one, sit in noexcept frames that cannot unwind.
  CancellationDeferred deferred;
  DirectoryLock lock(directory, documentPath);
  RemoveStaleTemporaries(directory);
  const std::optional<Document> current = ReadDocument(directory);
  const std::optional<Document> next = change(current);
  if (!next) return false;
  SaveDocument(directory, *next);
  return true;
}

}  // namespace internal

}  // namespace Norv::PreferredTDList
