// The preferred TD list reader on arbitrary bytes. The input is the whole
// document file: it is parsed in memory and also read back from a real file
// through PreferredTDListFile, and the two must agree. A document that parses
// must survive a format-and-parse round trip unchanged; anything else must be
// refused with DocumentException. The input is also taken as an author
// directory name in UTF-16, which is either refused exactly when no file can
// carry it (and then holds no list) or turned into the caller's bytes (or an
// earlier release's name) without a zero byte.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/documents/DocumentStore.h"
#include "services/PreferredTDList.h"
#include "services/ServiceString.h"
#include "services/Text.h"

namespace {

using Norv::ServiceString;
using Norv::Fuzz::Check;
using Norv::Fuzz::Fail;
using Norv::PreferredTDList::BoreholeTDList;
using Norv::PreferredTDList::DocumentException;
using Norv::PreferredTDList::PreferredTDListFile;
namespace internal = Norv::PreferredTDList::internal;

const std::string& AuthorDirectory() {
  static const std::string directory = Norv::Fuzz::ScratchDirectory::Path().string();
  return directory;
}

void WriteDocumentFile(std::string_view text) {
  const std::string path = internal::DocumentPathIn(AuthorDirectory());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot open the scratch document " + path);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) Fail("cannot write the scratch document " + path);
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

void CheckParse(std::string_view text) {
  const std::string path = "fuzz-input.txt";
  std::optional<internal::Document> parsed;
  try {
    parsed = internal::ParseDocument(text, path);
  } catch (const DocumentException& e) {
    Check(e.Path() == path, "a parse error names another path than the document's");
    Check(std::string_view(e.what()).find(path) != std::string_view::npos,
          "a parse error message does not name the document");
  }

  // The same bytes through the public reader and a real file.
  WriteDocumentFile(text);
  const PreferredTDListFile file{ServiceString::FromUtf8(AuthorDirectory())};
  std::optional<BoreholeTDList> read;
  std::optional<Norv::PreferredTDList::PreferredTDMode> mode;
  try {
    read = file.GetPreferredTDList();
    mode = file.GetAuthorPreferredTDMode();
  } catch (const DocumentException& e) {
    Check(e.Path() == file.DocumentPath(), "a read error names another path than the document's");
  }
  Check(read.has_value() == parsed.has_value(),
        "the file reader and the parser disagree on whether the document is valid");
  if (!parsed) return;
  Check(*read == parsed->list && mode == parsed->mode,
        "the file reader's document differs from the parser's");

  const std::string formatted = internal::FormatDocument(*parsed);
  const internal::Document again = internal::ParseDocument(formatted, path);
  Check(again == *parsed, "a parsed document changed in a format-and-parse round trip");
  Check(internal::FormatDocument(again) == formatted, "formatting a document is not stable");
}

void CheckDirectoryName(const std::uint8_t* data, std::size_t size) {
  const ServiceString name(Norv::Fuzz::UnitsOf(data, size));
  // The file name is the text encoded back through the process's code page;
  // a U+FFFD stands for a byte that was no character and is never encoded.
  const std::optional<std::string> encoded = Norv::Text::EncodeAnsi(name.Units());
  const std::u16string& units = name.Units();
  const bool carried = units.find(u'\0') == std::u16string::npos &&
                       Norv::Fuzz::IsWellFormedUtf16(units) && encoded.has_value() &&
                       units.find(u'\uFFFD') == std::u16string::npos;
  const internal::DirectoryName resolved = internal::ResolveDirectoryName(name);
  if (!resolved.refusal.empty()) {
    Check(!carried, "a valid directory name was refused");
    Check(resolved.bytes.empty(), "a refused directory name still names a file");
    const PreferredTDListFile file{name};
    Check(!file.PreferredTDListExist(), "a refused directory name holds a list");
    return;
  }
  Check(carried, "a directory name that no file can carry was accepted");
  Check(resolved.bytes.find('\0') == std::string::npos, "a directory name holds a zero byte");
  Check(resolved.bytes == *encoded || resolved.bytes == name.ToUtf8(),
        "a directory name is neither the caller's bytes nor an earlier document's name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckParse(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckDirectoryName(data, size);
  return 0;
}
