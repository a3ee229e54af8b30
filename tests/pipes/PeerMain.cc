// A helper process for the component's tests, which need a peer in another
// process that can be killed:
//   norv_pipes_peer serve <pid> <name>   hosts a data service whose
//       GetForecastEUR announces "in-call" and then never returns;
//   norv_pipes_peer subscribe <pid> <name> <key>   opens a shutdown session,
//       subscribes with <key> and waits;
//   norv_pipes_peer restart <pid> <name>   hosts a data service whose
//       GetForecastEUR counts each borehole id it serves, closes the host and
//       opens a new one on the same endpoint for every line "restart" read
//       from standard input, printing "up MS" each time it listens again (MS:
//       how long the close took, in milliseconds), and at
//       the end of input closes it and prints "served" and ID:COUNT for every
//       id served, on one line.
// Each prints "ready" once set up, then (but restart) waits to be killed.
// Only the peer serves: in the test process nothing polls a client's
// connections between its calls, as in a client application.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
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

// Counts the borehole ids of GetForecastEUR across every host it serves.
class CountingDataService : public FakeDataService {
 public:
  double GetForecastEUR(const String&, const String&, const String&, std::int32_t boreholeId,
                        const String&, const String&) override {
    std::lock_guard lock(mu_);
    ++served_[boreholeId];
    return boreholeId * 2.0;
  }
  std::string Report() {
    std::lock_guard lock(mu_);
    std::string line = "served";
    for (const auto& [id, times] : served_) {
      line += " " + std::to_string(id) + ":" + std::to_string(times);
    }
    return line;
  }

 private:
  std::mutex mu_;
  std::map<std::int32_t, int> served_;
};

int Restart(std::int32_t pid, const std::string& name) {
  auto service = std::make_shared<CountingDataService>();
  auto open = [&] {
    auto host = std::make_unique<NamedPipeServiceHost>(service, pid, name);
    host->AddServiceEndpoint(TypeOf<IDataService>());
    host->Open();
    return host;
  };
  std::unique_ptr<NamedPipeServiceHost> host = open();
  Say("ready");
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line != "restart") continue;
    const auto start = std::chrono::steady_clock::now();
    host->Close();
    const auto closing = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    host = open();
    Say(("up " + std::to_string(closing.count())).c_str());
  }
  host->Close();
  Say(service->Report().c_str());
  return 0;
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
    if (mode == "restart" && argc == 4) return Restart(std::atoi(argv[2]), argv[3]);
    std::fprintf(stderr,
                 "usage: norv_pipes_peer serve PID NAME | subscribe PID NAME KEY | restart PID "
                 "NAME\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "norv_pipes_peer: %s\n", e.what());
    Say("failed");
    return 1;
  }
}
