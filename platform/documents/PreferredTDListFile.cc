#include <optional>

#include "platform/documents/DocumentStore.h"
#include "services/PreferredTDList.h"

namespace Norv::PreferredTDList {

using internal::Document;

PreferredTDListFile::PreferredTDListFile(const ServiceString& authorDirectory)
    : directory_(internal::DirectoryName(authorDirectory)),
      documentPath_(internal::DocumentPathIn(directory_)) {}

PreferredTDMode PreferredTDListFile::GetAuthorPreferredTDMode() const {
  const std::optional<Document> document = internal::ReadDocument(directory_);
  return document ? document->mode : kPreferredTDModeNone;
}

void PreferredTDListFile::SetAuthorPreferredTDMode(PreferredTDMode mode,
                                                   const Collection<BoreholeTDId>& boreholeTDIds,
                                                   std::int32_t lastBoreholeId,
                                                   std::int32_t lastTDChartId) {
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
