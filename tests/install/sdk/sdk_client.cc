// A client application on the installed ShutdownClient:
//   sdk_client HOST_PID
// subscribes to the shutdown service of HOST_PID, refuses the first request,
// agrees to the next, and exits 0 once it is forced. It reports each event
// on standard output, one line each.
#include <norv/platform.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sdk_client HOST_PID\n");
    return 2;
  }
  using Norv::ServiceModel::ShutdownCallback;
  using Norv::ServiceModel::ShutdownClient;
  std::mutex mutex;
  std::condition_variable forcedChanged;
  bool forced = false;
  int requests = 0;
  auto callback = std::make_shared<ShutdownCallback>(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        bool agree = ++requests > 1;
        std::printf("request %d: %s\n", requests, agree ? "agree" : "refuse");
        std::fflush(stdout);
        return agree;
      },
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        forced = true;
        forcedChanged.notify_all();
      });
  try {
    ShutdownClient client(std::atoi(argv[1]), static_cast<int>(::getpid()), callback);
    client.Ping();
    std::printf("subscribed\n");
    std::fflush(stdout);
    std::unique_lock<std::mutex> lock(mutex);
    if (!forcedChanged.wait_for(lock, std::chrono::seconds(60), [&] { return forced; })) {
      std::fprintf(stderr, "sdk_client: never forced\n");
      return 1;
    }
    std::printf("forced\n");
    std::fflush(stdout);
  } catch (const Norv::ServiceModel::CommunicationException& e) {
    std::fprintf(stderr, "sdk_client: %s\n", e.what());
    return 1;
  }
  return 0;
}
