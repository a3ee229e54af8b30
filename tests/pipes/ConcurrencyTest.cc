// Several threads calling through channels and sessions at once: every call
// gets its own answer and the service object sees one operation at a time.
#include <thread>

#include <gtest/gtest.h>

#include "tests/pipes/TestServices.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

using Norv::Testing::FakeDataService;
using Norv::Testing::IDataService;
using Norv::Testing::IShutdown;
using Norv::Testing::PrivatePipeDir;
using Norv::Testing::RecordingShutdown;
using Norv::Testing::ScriptedCallback;

TEST(Concurrency, ThreadsShareChannelsAndTheServiceSeesOneCallAtATime) {
  PrivatePipeDir dir;
  auto service = std::make_shared<FakeDataService>();
  NamedPipeServiceHost host(service, 7, "Data");
  host.AddServiceEndpoint(TypeOf<IDataService>());
  host.Open();
  auto shared = NamedPipeServiceHost::GetSingleChannel<IDataService>(7, "Data");
  constexpr int kThreads = 8;
  constexpr int kCalls = 150;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        auto channel =
            (i % 2 == 0) ? shared : NamedPipeServiceHost::GetSingleChannel<IDataService>(7, "Data");
        int id = t * 1000 + i;
        if (channel->GetForecastEUR(u"", u"", u"", id, u"", u"") != id * 2.0) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_FALSE(service->overlapped);
}

TEST(Concurrency, CallbacksAndSessionCallsInterleave) {
  PrivatePipeDir dir;
  auto service = std::make_shared<RecordingShutdown>();
  NamedPipeServiceHost host(service, 8, "Shutdown");
  host.AddServiceEndpoint(TypeOf<IShutdown>());
  host.Open();
  auto callback = std::make_shared<ScriptedCallback>();
  auto session = DuplexChannelFactory<IShutdown>::CreateChannel(callback, 8, "Shutdown");
  session->Subscribe(1);
  auto channel = service->Channel(1);
  std::atomic<bool> failed{false};
  std::thread pinger([&] {
    for (int i = 0; i < 200; ++i) {
      try {
        session->Ping();
      } catch (...) {
        failed = true;
      }
    }
  });
  std::vector<std::thread> askers;
  for (int t = 0; t < 3; ++t) {
    askers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        try {
          if (!channel->RequestShutdown()) failed = true;
        } catch (...) {
          failed = true;
        }
      }
    });
  }
  pinger.join();
  for (auto& thread : askers) thread.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(callback->requests, 150);
  EXPECT_EQ(service->pings, 200);
}

}  // namespace
}  // namespace Norv::ServiceModel
