// A child process for the store's process tests.
//
//   tdlist_store_helper save-loop DIR PAIRS
//     Saves forever: generation g (one more than the stored last borehole id)
//     is written as PAIRS pairs (b, g), mode 1 + g % 2 and last ids g, g.
//     Writes one byte to stdout after each completed save.
//   tdlist_store_helper append DIR TAG COUNT
//     Writes "r" to stdout, waits for one byte on stdin, then appends the
//     pairs (TAG, 0) to (TAG, COUNT - 1), each in its own locked save.
// Exits 2 with a message on stderr when a save fails.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#include "platform/documents/DocumentStore.h"
#include "services/PreferredTDList.h"

namespace {

namespace Doc = Norv::PreferredTDList;

int SaveLoop(const std::string& directory, int pairCount) {
  Doc::PreferredTDListFile file(Norv::ServiceString::FromUtf8(directory));
  for (;;) {
    const std::int32_t generation = file.GetPreferredTDList().LastBoreholeId() + 1;
    Norv::Collection<Doc::BoreholeTDId> pairs(std::in_place);
    for (int b = 0; b < pairCount; ++b) {
      Doc::BoreholeTDId pair;
      pair.SetBoreholeId(b);
      pair.SetTDId(generation);
      pairs->push_back(pair);
    }
    file.SetAuthorPreferredTDMode(static_cast<Doc::PreferredTDMode>(1 + generation % 2), pairs,
                                  generation, generation);
    if (::write(STDOUT_FILENO, "s", 1) != 1) return 0;
  }
}

int Append(const std::string& directory, int tag, int count) {
  char go = 0;
  if (::write(STDOUT_FILENO, "r", 1) != 1 || ::read(STDIN_FILENO, &go, 1) != 1) return 3;
  for (int k = 0; k < count; ++k) {
    Doc::internal::UpdateDocument(
        directory, [&](const std::optional<Doc::internal::Document>& current) {
          Doc::internal::Document next = current.value_or(Doc::internal::Document{});
          Doc::BoreholeTDId pair;
          pair.SetBoreholeId(tag);
          pair.SetTDId(k);
          next.list.Pairs().push_back(pair);
          return std::optional<Doc::internal::Document>(std::move(next));
        });
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "save-loop" && argc == 4) return SaveLoop(argv[2], std::atoi(argv[3]));
    if (command == "append" && argc == 5) {
      return Append(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    std::fprintf(stderr, "usage: %s save-loop DIR PAIRS | append DIR TAG COUNT\n", argv[0]);
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tdlist_store_helper: %s\n", e.what());
    return 2;
  }
}
