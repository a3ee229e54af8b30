// A helper process for the component's tests, which need a peer in another
// process that can be killed:
//   norv_pipes_peer serve <pid> <name>   hosts a data service whose
//       GetForecastEUR announces "in-call" and then never returns;
//   norv_pipes_peer subscribe <pid> <name> <key>   opens a shutdown session,
//       subscribes with <key> and waits.
// Each prints "ready" once set up, then waits to be killed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "services/NamedPipeServiceHost.h"
#include "tests/pipes/TestServices.h"

using namespace Norv::ServiceModel;
using namespace Norv::Testing;

namespace {

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 4) {
      auto service = std::make_shared<FakeDataService>();
      service->onForecast = [] {
        Say("in-call");
        for (;;) ::pause();
      };
      NamedPipeServiceHost host(service, std::atoi(argv[2]), argv[3]);
      host.AddServiceEndpoint(TypeOf<IDataService>());
      host.Open();
      Say("ready");
      for (;;) ::pause();
    }
    if (mode == "subscribe" && argc == 5) {
      auto callback = std::make_shared<ScriptedCallback>();
      auto channel =
          DuplexChannelFactory<IShutdown>::CreateChannel(callback, std::atoi(argv[2]), argv[3]);
      channel->Subscribe(std::atoi(argv[4]));
      Say("ready");
      for (;;) ::pause();
    }
    std::fprintf(stderr, "usage: norv_pipes_peer serve PID NAME | subscribe PID NAME KEY\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "norv_pipes_peer: %s\n", e.what());
    Say("failed");
    return 1;
  }
}
