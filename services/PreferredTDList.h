// The preferred TD list document of an author directory: the author's
// preferred TD mode, an ordered list of (borehole id, TD id) pairs and the
// last borehole id and last TD chart id. The format, the file's place and
// the saving rules are described in
// /usr/share/doc/libnorv-interop-dev/preferred-td-list.md.
//
// A PreferredTDListFile names one directory and holds no file open; every
// member reads or writes the file anew. Saves are atomic (a reader sees the
// old document or the new one, never a mix) and read-modify-writes are
// serialised by an advisory lock, so objects in several threads or processes
// may use one directory at once. One object may be used from several threads.
// BoreholeTDId and BoreholeTDList are plain values.
#ifndef NORV_SERVICES_PREFERRED_TD_LIST_H_
#define NORV_SERVICES_PREFERRED_TD_LIST_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Collection.h"
#include "PlatformExport.h"
#include "ServiceString.h"

namespace Norv::PreferredTDList {

// The author's mode. The document stores any number it is given or finds;
// only 1 and 2 carry a meaning.
enum PreferredTDMode : std::int32_t {
  kPreferredTDModeNone = 0,
  // The host looks up the TD of each borehole in the pairs.
  kPreferredTDModePerBorehole = 1,
  // The host reopens the last TD chart of the last borehole.
  kPreferredTDModeLastChart = 2,
};

// A document that cannot be read or written. The message names the file (or
// directory) and what is wrong in one sentence; Path() is that file.
class NORV_PLATFORM_API DocumentException : public std::runtime_error {
 public:
  DocumentException(const std::string& message, std::string path)
      : std::runtime_error(message), path_(std::move(path)) {}
  ~DocumentException() override;
  const std::string& Path() const noexcept { return path_; }

 private:
  std::string path_;
};

class NORV_PLATFORM_API BoreholeTDId {
 public:
  BoreholeTDId() = default;

  std::int32_t BoreholeId() const noexcept { return boreholeId_; }
  void SetBoreholeId(std::int32_t boreholeId) noexcept { boreholeId_ = boreholeId; }
  std::int32_t TDId() const noexcept { return tdId_; }
  void SetTDId(std::int32_t tdId) noexcept { tdId_ = tdId; }

  friend bool operator==(const BoreholeTDId& a, const BoreholeTDId& b) noexcept {
    return a.boreholeId_ == b.boreholeId_ && a.tdId_ == b.tdId_;
  }
  friend bool operator!=(const BoreholeTDId& a, const BoreholeTDId& b) noexcept {
    return !(a == b);
  }

 private:
  std::int32_t boreholeId_ = 0;
  std::int32_t tdId_ = 0;
};

class NORV_PLATFORM_API BoreholeTDList {
 public:
  BoreholeTDList() = default;

  // The list's own pairs in list order; appending to it appends to the list.
  // Borehole ids may repeat.
  std::vector<BoreholeTDId>& Pairs() noexcept { return pairs_; }
  const std::vector<BoreholeTDId>& Pairs() const noexcept { return pairs_; }

  std::int32_t LastBoreholeId() const noexcept { return lastBoreholeId_; }
  void SetLastBoreholeId(std::int32_t id) noexcept { lastBoreholeId_ = id; }
  std::int32_t LastTDChartId() const noexcept { return lastTDChartId_; }
  void SetLastTDChartId(std::int32_t id) noexcept { lastTDChartId_ = id; }

  friend bool operator==(const BoreholeTDList& a, const BoreholeTDList& b) {
    return a.pairs_ == b.pairs_ && a.lastBoreholeId_ == b.lastBoreholeId_ &&
           a.lastTDChartId_ == b.lastTDChartId_;
  }
  friend bool operator!=(const BoreholeTDList& a, const BoreholeTDList& b) { return !(a == b); }

 private:
  std::vector<BoreholeTDId> pairs_;
  std::int32_t lastBoreholeId_ = 0;
  std::int32_t lastTDChartId_ = 0;
};

class NORV_PLATFORM_API PreferredTDListFile {
 public:
  // The document of `authorDirectory`, the directory named by the text
  // encoded back through the ANSI code page (see
  // /usr/share/doc/libnorv-interop-dev/preferred-td-list.md). A directory without a list, a missing
  // directory and the empty (or null) name all read as "no list". So does a name that no directory
  // can carry: a U+0000, an unpaired surrogate, a character the code page cannot encode back, or a
  // U+FFFD (what decoding made of a byte that is no character); saving into one raises
  // DocumentException naming it. Raises nothing else (but TextConfigurationError for an unknown
  // code page).
  explicit PreferredTDListFile(const ServiceString& authorDirectory);

  // The stored mode, whatever its number; kPreferredTDModeNone without a list.
  PreferredTDMode GetAuthorPreferredTDMode() const;

  // Stores `mode` and the two last ids, creating the document if there is
  // none. A collection replaces the stored pairs (an empty one removes them);
  // a null collection leaves them as they are. Raises DocumentException when
  // the directory is missing, unnamed, named by a name no directory can
  // carry or not writable, or the stored document cannot be read; the
  // document is then unchanged.
  void SetAuthorPreferredTDMode(PreferredTDMode mode, const Collection<BoreholeTDId>& boreholeTDIds,
                                std::int32_t lastBoreholeId, std::int32_t lastTDChartId);

  // Whether the directory holds a document (it is not read).
  bool PreferredTDListExist() const;

  // The stored list; an empty list with last ids 0 when there is none.
  BoreholeTDList GetPreferredTDList() const;

  // Replaces the pairs and last ids of an existing document, keeping its
  // mode, and answers true; answers false, writing nothing, when the
  // directory holds no document yet.
  bool SaveExistingPreferredTDList(const BoreholeTDList& list);

  // The document's file name (directory / "preferred-td-list.txt"); empty
  // when no directory is named. For a name no directory can carry, the
  // caller's text in UTF-8: shown in messages, never opened.
  const std::string& DocumentPath() const noexcept { return documentPath_; }

 private:
  std::string directory_;
  std::string documentPath_;
  // Why no directory can carry the name; empty when one can.
  std::string refusal_;
};

}  // namespace Norv::PreferredTDList

#endif  // NORV_SERVICES_PREFERRED_TD_LIST_H_
