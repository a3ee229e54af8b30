// A host program built against the installed package, as C++17: calls that
// need no service and change nothing outside the process.
#include <norv/interop.h>

#include <cstdio>
#include <map>

int main() {
  using Norv::MirnDataService::Interop::MirnDataService;
  using Norv::ServiceModel::Interop::ShutdownFactory;
  std::map<int, int> list{{1, 2}};
  MirnDataService::GetPreferredTDList(nullptr, list);  // no directory: no list
  bool exists = MirnDataService::PreferredTDListExist(nullptr);
  bool agreed = ShutdownFactory::RequestStopShutdownService();  // no service: true
  Norv::IO::Interop::SetAuthorPath("/tmp");
  if (exists || !list.empty() || !agreed) {
    std::fprintf(stderr, "unexpected: exists=%d list=%zu agreed=%d\n", exists, list.size(), agreed);
    return 1;
  }
  std::puts("consumer ok");
  return 0;
}
