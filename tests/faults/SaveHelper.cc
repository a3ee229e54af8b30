// Saves a preferred TD list as another user: `faults_save_helper DIR UID`.
// Run as root, it first drops to UID (so that a directory's mode binds it,
// as it binds any user but root); otherwise it saves as itself.
//
// Exit status: 0 saved, 1 no document to save into, 3 the save raised (its
// message and path on two lines of standard output), 4 cannot drop rights.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "services/PreferredTDList.h"

int main(int argc, char** argv) {
  using namespace Norv::PreferredTDList;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR UID\n", argv[0]);
    return 2;
  }
  if (::geteuid() == 0) {
    const auto uid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
      std::perror("cannot drop root's rights");
      return 4;
    }
  }
  BoreholeTDList list;
  for (int i = 1; i <= 1000; ++i) {
    BoreholeTDId pair;
    pair.SetBoreholeId(i);
    pair.SetTDId(-i);
    list.Pairs().push_back(pair);
  }
  list.SetLastBoreholeId(1000);
  list.SetLastTDChartId(77);
  try {
    PreferredTDListFile document(Norv::ServiceString::FromUtf8(argv[1]));
    return document.SaveExistingPreferredTDList(list) ? 0 : 1;
  } catch (const DocumentException& e) {
    std::printf("%s\n%s\n", e.what(), e.Path().c_str());
    return 3;
  }
}
