// The service host's lifecycle: the four states, reached through real hosts
// and the component's fault seam, and the serializer limit walk.
#include <sys/wait.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pipes/HostTesting.h"
#include "services/ServiceDescription.h"
#include "services/ServiceErrors.h"
#include "tests/shutdown/ShutdownTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace Norv::Testing {
namespace {

using Answer = CountingCallback::Answer;
using ServiceModel::CommunicationException;
using ServiceModel::DataContractSerializerOperationBehavior;
using ServiceModel::Interop::internal::kShutdownMaxItemsInObjectGraph;
using ServiceModel::testing::HostStep;
using ServiceModel::testing::SetHostStepFails;

using ShutdownLifecycleTest = ShutdownTest;

// Whether a client can subscribe on endpoint Shutdown of `pid` and is then
// asked by this process's service.
bool ServedHere(std::int32_t pid) {
  try {
    TestClient probe(pid, 999, Answer::kNo);
    const bool refused = !ShutdownFactory::RequestStopShutdownService();
    probe.client.Unsubscribe(999);
    return refused && probe.callback->Requests() == 1;
  } catch (const CommunicationException&) {
    return false;
  }
}

TEST_F(ShutdownLifecycleTest, BeforeAnyStartNothingHappensAndNothingFails) {
  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  ShutdownFactory::ForceStopShutdownService();
  ShutdownFactory::StopShutdownService();
  EXPECT_EQ(CurrentHost(), nullptr);
  EXPECT_EQ(CurrentImpl(), nullptr);
  ShutdownFactory a, b;
  EXPECT_EQ(&(a = b), &a);
}

TEST_F(ShutdownLifecycleTest, ASecondStartChangesNothingAndStopStartForgetsSubscribers) {
  const std::int32_t pid = NextPid();
  const std::int32_t otherPid = NextPid();
  ShutdownFactory::StartShutdownService(pid);
  const auto host = CurrentHost();
  const auto impl = CurrentImpl();
  ASSERT_NE(host, nullptr);
  ASSERT_NE(impl, nullptr);

  TestClient refusing(pid, 1, Answer::kNo);
  ShutdownFactory::StartShutdownService(otherPid);
  EXPECT_EQ(CurrentHost(), host);
  EXPECT_EQ(CurrentImpl(), impl);
  EXPECT_EQ(host->Pid(), pid);
  EXPECT_FALSE(ShutdownFactory::RequestStopShutdownService()) << "the subscriber was lost";
  EXPECT_FALSE(ServedHere(otherPid));

  ShutdownFactory::StopShutdownService();
  EXPECT_EQ(CurrentHost(), nullptr);
  EXPECT_EQ(CurrentImpl(), nullptr);
  ShutdownFactory::StartShutdownService(pid);
  EXPECT_NE(CurrentImpl(), impl);
  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  EXPECT_EQ(refusing.callback->Requests(), 1);
  EXPECT_TRUE(ServedHere(pid));
}

TEST_F(ShutdownLifecycleTest, AnEndpointServedByAnotherProcessLeavesTheHostUnopened) {
  const std::int32_t pid = NextPid();
  ChildProcess other({HelperPath(), "host", std::to_string(pid)});
  ASSERT_EQ(other.ReadLine(), "started");

  ShutdownFactory::StartShutdownService(pid);  // returns normally
  const auto host = CurrentHost();
  ASSERT_NE(host, nullptr);
  ASSERT_NE(CurrentImpl(), nullptr);
  EXPECT_FALSE(ServedHere(pid)) << "a client reached the unopened host";
  ShutdownFactory::StartShutdownService(pid);
  EXPECT_EQ(CurrentHost(), host);
  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());

  // The other process returns from main with its host still open: exit runs
  // no destructor that closes it or waits for its threads.
  other.CloseInput();
  const std::optional<int> status = other.Wait();
  ASSERT_TRUE(status.has_value()) << "the process did not exit with its host open";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

  ShutdownFactory::StartShutdownService(pid);
  EXPECT_FALSE(ServedHere(pid)) << "a host that failed to open was opened again";
  ShutdownFactory::StopShutdownService();
  ShutdownFactory::StartShutdownService(pid);
  EXPECT_TRUE(ServedHere(pid));
}

TEST_F(ShutdownLifecycleTest, AFailingCloseStillClearsBothFieldsAndReleasesTheEndpoint) {
  const std::int32_t pid = NextPid();
  ShutdownFactory::StartShutdownService(pid);
  SetHostStepFails(HostStep::kClose, true);
  ShutdownFactory::StopShutdownService();
  EXPECT_EQ(CurrentHost(), nullptr);
  EXPECT_EQ(CurrentImpl(), nullptr);

  SetHostStepFails(HostStep::kClose, false);
  ShutdownFactory::StartShutdownService(pid);
  EXPECT_TRUE(ServedHere(pid));
}

TEST_F(ShutdownLifecycleTest, AFailedConstructionLeavesTheServiceObjectOnly) {
  const std::int32_t pid = NextPid();
  SetHostStepFails(HostStep::kConstruct, true);
  EXPECT_THROW(ShutdownFactory::StartShutdownService(pid), CommunicationException);
  const auto impl = CurrentImpl();
  ASSERT_NE(impl, nullptr);
  EXPECT_EQ(CurrentHost(), nullptr);
  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  ShutdownFactory::ForceStopShutdownService();

  // The next start keeps the existing service object.
  SetHostStepFails(HostStep::kConstruct, false);
  ShutdownFactory::StartShutdownService(pid);
  EXPECT_EQ(CurrentImpl(), impl);
  EXPECT_TRUE(ServedHere(pid));
}

TEST_F(ShutdownLifecycleTest, AFailedEndpointLeavesAHostThatIsNeverOpened) {
  const std::int32_t pid = NextPid();
  SetHostStepFails(HostStep::kAddEndpoint, true);
  EXPECT_THROW(ShutdownFactory::StartShutdownService(pid), CommunicationException);
  const auto host = CurrentHost();
  ASSERT_NE(host, nullptr);
  ASSERT_NE(CurrentImpl(), nullptr);

  SetHostStepFails(HostStep::kAddEndpoint, false);
  ShutdownFactory::StartShutdownService(pid);
  EXPECT_EQ(CurrentHost(), host);
  EXPECT_FALSE(ServedHere(pid));
  EXPECT_TRUE(ShutdownFactory::RequestStopShutdownService());
  ShutdownFactory::StopShutdownService();
  EXPECT_EQ(CurrentHost(), nullptr);
}

TEST_F(ShutdownLifecycleTest, EveryOperationHasTheRaisedLimitBeforeOpen) {
  SetHostStepFails(HostStep::kOpen, true);
  ShutdownFactory::StartShutdownService(NextPid());  // Open's failure is discarded
  const auto host = CurrentHost();
  ASSERT_NE(host, nullptr);

  const auto& endpoints = host->Description().Endpoints();
  ASSERT_GE(endpoints.size(), 2u) << "the contract endpoint and the metadata endpoint";
  int limits = 0;
  bool sawShutdownContract = false;
  for (const auto& endpoint : endpoints) {
    sawShutdownContract |=
        endpoint->Contract().Name() == ServiceModel::Contracts::Service::IShutdown::kContractName;
    for (const auto& operation : endpoint->Contract().Operations()) {
      for (const auto& behavior : operation.Behaviors()) {
        if (auto* serializer =
                dynamic_cast<const DataContractSerializerOperationBehavior*>(behavior.get())) {
          EXPECT_EQ(serializer->MaxItemsInObjectGraph(), kShutdownMaxItemsInObjectGraph)
              << endpoint->Contract().Name() << "." << operation.Name();
          ++limits;
        }
      }
    }
  }
  EXPECT_TRUE(sawShutdownContract);
  EXPECT_GE(limits, 3) << "Subscribe, Unsubscribe and Ping carry a serializer limit";
}

TEST_F(ShutdownLifecycleTest, TheLimitWalkTouchesOnlySerializerBehaviours) {
  struct OtherBehavior : ServiceModel::IOperationBehavior {
    int value = 7;
  };
  ServiceModel::ServiceDescription description;
  for (int e = 0; e < 2; ++e) {
    ServiceModel::ContractDescription contract("Contract" + std::to_string(e));
    for (int o = 0; o < 3; ++o) {
      ServiceModel::OperationDescription operation("Operation" + std::to_string(o));
      if (o != 1) {
        operation.Behaviors().push_back(std::make_shared<OtherBehavior>());
        operation.Behaviors().push_back(
            std::make_shared<DataContractSerializerOperationBehavior>());
      }
      contract.Operations().push_back(operation);
    }
    description.Endpoints().push_back(
        std::make_unique<ServiceModel::ServiceEndpoint>("addr", std::move(contract)));
  }
  description.Endpoints().push_back(std::make_unique<ServiceModel::ServiceEndpoint>(
      "empty", ServiceModel::ContractDescription("Empty")));

  ServiceModel::SetMaxItemsInObjectGraph(description, kShutdownMaxItemsInObjectGraph);
  for (const auto& endpoint : description.Endpoints()) {
    for (const auto& operation : endpoint->Contract().Operations()) {
      for (const auto& behavior : operation.Behaviors()) {
        if (auto* other = dynamic_cast<const OtherBehavior*>(behavior.get())) {
          EXPECT_EQ(other->value, 7);
        } else {
          EXPECT_EQ(static_cast<const DataContractSerializerOperationBehavior&>(*behavior)
                        .MaxItemsInObjectGraph(),
                    kShutdownMaxItemsInObjectGraph);
        }
      }
    }
  }
}

TEST_F(ShutdownLifecycleTest, AStopOverlappingAWalkDoesNotCrash) {
  const std::int32_t pid = NextPid();
  ShutdownFactory::StartShutdownService(pid);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto callback = std::make_shared<CountingCallback>();
  callback->onRequest = [&entered, released] {
    entered.set_value();
    released.wait_for(std::chrono::seconds(30));
  };
  ServiceModel::ShutdownClient client(pid, 1, callback);

  auto walk = std::async(std::launch::async, ShutdownFactory::RequestStopShutdownService);
  entered.get_future().wait();
  ShutdownFactory::StopShutdownService();  // the caller's misuse
  release.set_value();
  EXPECT_TRUE(walk.get());  // agreeing, whether its answer arrived or was cut off
  EXPECT_EQ(CurrentImpl(), nullptr);
}

}  // namespace
}  // namespace Norv::Testing
