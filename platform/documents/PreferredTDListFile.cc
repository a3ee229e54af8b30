#include <optional>
#include <utility>

#include "platform/documents/DocumentStore.h"
#include "services/PreferredTDList.h"

namespace Norv::PreferredTDList {

using internal::Document;

PreferredTDListFile::PreferredTDListFile(const ServiceString& authorDirectory) {
  internal::DirectoryName name = internal::ResolveDirectoryName(authorDirectory);
  // A refused name keeps directory_ empty, which every read takes for "no
  // list"; its document path is the caller's text, for messages alone.
  directory_ = std::move(name.bytes);
  refusal_ = std::move(name.refusal);
  documentPath_ = internal::DocumentPathIn(refusal_.empty() ? directory_ : name.shown);
}

PreferredTDMode PreferredTDListFile::GetAuthorPreferredTDMode() const {
  const std::optional<Document> document = internal::ReadDocument(directory_);
  return document ? document->mode : kPreferredTDModeNone;
}

void PreferredTDListFile::SetAuthorPreferredTDMode(PreferredTDMode mode,
                                                   const Collection<BoreholeTDId>& boreholeTDIds,
                                                   std::int32_t lastBoreholeId,
                                                   std::int32_t lastTDChartId) {
  if (!refusal_.empty()) {
    throw DocumentException("cannot save the preferred TD list " + documentPath_ + ": " + refusal_,
                            documentPath_);
  }
  internal::UpdateDocument(directory_, [&](const std::optional<Document>& current) {
    Document next = current.value_or(Document{});
    next.mode = mode;
    if (boreholeTDIds) next.list.Pairs() = *boreholeTDIds;
    next.list.SetLastBoreholeId(lastBoreholeId);
    next.list.SetLastTDChartId(lastTDChartId);
    return std::optional<Document>(std::move(next));
  });
}

bool PreferredTDListFile::PreferredTDListExist() const {
  return internal::DocumentExists(directory_);
}

BoreholeTDList PreferredTDListFile::GetPreferredTDList() const {
  std::optional<Document> document = internal::ReadDocument(directory_);
  return document ? std::move(document->list) : BoreholeTDList();
}

bool PreferredTDListFile::SaveExistingPreferredTDList(const BoreholeTDList& list) {
  // Checked first so that asking about a directory without a list (or an
  // unnamed or missing one) creates no lock file there.
  if (!internal::DocumentExists(directory_)) return false;
  return internal::UpdateDocument(
      directory_, [&](const std::optional<Document>& current) -> std::optional<Document> {
        if (!current) return std::nullopt;  // removed since the check
        return Document{current->mode, list};
      });
}

}  // namespace Norv::PreferredTDList
