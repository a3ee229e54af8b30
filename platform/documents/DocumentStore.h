// The storage beneath PreferredTDListFile: the text format of the document,
// and the atomic, locked read-modify-write that every save goes through.
//
// A save takes an flock on a side file of the author directory (the document
// itself is replaced by rename, so its inode cannot carry the lock), reads
// the current document, writes the new one to a mkstemp file in the same
// directory, flushes it, renames it over the document and flushes the
// directory. Reads take no lock: a rename is atomic, so they see the old or
// the new document. All functions are safe from any thread. A thread may be
// cancelled (pthread_cancel) while a save waits for the lock; once the lock
// is held, the save runs to its end and the cancellation acts after it.
#ifndef NORV_PLATFORM_DOCUMENTS_DOCUMENT_STORE_H_
#define NORV_PLATFORM_DOCUMENTS_DOCUMENT_STORE_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "services/PreferredTDList.h"
#include "services/ServiceString.h"

namespace Norv::PreferredTDList::internal {

inline constexpr std::string_view kDocumentName = "preferred-td-list.txt";
inline constexpr std::string_view kLockName = ".preferred-td-list.lock";
// A temporary file is this prefix and mkstemp's six characters.
inline constexpr std::string_view kTemporaryPrefix = ".preferred-td-list.txt.";
inline constexpr std::string_view kFormatTag = "norv-preferred-td-list";
inline constexpr int kFormatVersion = 1;

struct Document {
  PreferredTDMode mode = kPreferredTDModeNone;
  BoreholeTDList list;

  friend bool operator==(const Document&, const Document&) = default;
};

// A directory named by a service string, as the store finds it on disk.
struct DirectoryName {
  // The file name: the caller's bytes (the text encoded back through the ANSI
  // code page), or the name an earlier release saved under. "" for the null
  // and the empty string, and for a refused name.
  std::string bytes;
  // Empty when a file can carry the name; otherwise why none can, in words
  // that name it. A refused name holds no list: reads find none, saves fail.
  std::string refusal;
  // The name as the caller's text in UTF-8, for messages.
  std::string shown;
};
// Never raises (but TextConfigurationError for an unknown code page).
// Refuses a U+0000, an unpaired surrogate, a character the code page cannot
// encode back, and U+FFFD: the decoder's stand-in for a byte that is no
// character, which would otherwise give every such name one directory (under
// 65001 it encodes to the bytes of a real U+FFFD).
DirectoryName ResolveDirectoryName(const ServiceString& directory);
// directory/preferred-td-list.txt, or "" for the empty directory name.
std::string DocumentPathIn(const std::string& directory);

std::string FormatDocument(const Document& document);
// Raises DocumentException naming `path` and the fault for a text that is not
// a complete document of a version this library reads.
Document ParseDocument(std::string_view text, const std::string& path);

// The directory's document; nullopt when there is none (the empty name, a
// missing directory, no file). Raises DocumentException for a file that
// cannot be read or parsed.
std::optional<Document> ReadDocument(const std::string& directory);
// Whether the directory holds an entry of the document's name.
bool DocumentExists(const std::string& directory);

// Given the current document (nullopt: none), answers the document to save
// or nullopt to save nothing.
using DocumentChange = std::function<std::optional<Document>(const std::optional<Document>&)>;
// Applies `change` under the directory's lock and saves its answer; answers
// whether it saved. Raises DocumentException (the document left as it was)
// when the directory is unnamed, missing or unusable, the current document
// cannot be read, or the save fails; exceptions from `change` pass through.
bool UpdateDocument(const std::string& directory, const DocumentChange& change);

}  // namespace Norv::PreferredTDList::internal

#endif  // NORV_PLATFORM_DOCUMENTS_DOCUMENT_STORE_H_
