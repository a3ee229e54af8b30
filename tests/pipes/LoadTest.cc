// Loading the platform library starts nothing: no thread and no endpoint
// directory exist until the first call that needs them.
#include <filesystem>

#include <gtest/gtest.h>

#include "services/NamedPipeServiceHost.h"
#include "tests/support/TestSupport.h"

namespace Norv::ServiceModel {
namespace {

int Threads() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

TEST(Loading, StartsNothingUntilFirstUse) {
  Norv::Testing::PrivatePipeDir dir;
  // Statics of the library have run; a timeout setting touches nothing else.
  NamedPipeServiceHost::SetTimeouts(NamedPipeServiceHost::GetTimeouts());
  EXPECT_EQ(Threads(), 1);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "pipes"));
  auto channel =
      NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IDataService>(1, "Nobody");
  EXPECT_EQ(Threads(), 1) << "obtaining a channel must not start gRPC";
  EXPECT_THROW(channel->IsProjectAdmin(u"", u"", u""), EndpointNotFoundException);
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "pipes"));
}

}  // namespace
}  // namespace Norv::ServiceModel
