// The Halvane bridge against a scripted launcher served by this test process
// on its own endpoint "ApplicationLauncher", through the real component.
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "launcher/ApplicationLauncher.h"
#include "norv/interop/Halvane.h"
#include "services/NamedPipeServiceHost.h"
#include "tests/support/Cancellation.h"
#include "tests/support/TestSupport.h"

namespace Norv::Halvane::Interop {
namespace {

using Norv::Testing::CallGate;
using Norv::Testing::CancelWhileBlocked;
using ServiceModel::CommunicationException;
using ServiceModel::EndpointNotFoundException;
using ServiceModel::FaultException;
using ServiceModel::NamedPipeServiceHost;
using ServiceModel::TypeOf;
using ServiceModel::Contracts::Service::IApplicationLauncher;
using ::testing::HasSubstr;

std::int32_t OwnPid() { return static_cast<std::int32_t>(::getpid()); }

// Records every call; raises the scripted fault from the operations told to.
class ScriptedLauncher : public IApplicationLauncher {
 public:
  struct LogOnCall {
    ServiceString projectPath, user, password, author;
  };
  enum Launch { kTrasko, kWendal, kOrbisk };

  void FailLogOn(std::string fault) { logOnFault_ = std::move(fault); }
  void FailLaunches(std::string fault) { launchFault_ = std::move(fault); }
  // Run by LogOn before it answers: to stall it.
  void BeforeLogOnAnswers(std::function<void()> hook) { beforeLogOn_ = std::move(hook); }

  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      logOns_.push_back({projectPath, user, password, author});
    }
    if (beforeLogOn_) beforeLogOn_();
    if (logOnFault_) throw std::runtime_error(*logOnFault_);
  }
  void LaunchTrasko() override { Record(kTrasko); }
  void LaunchWendal() override { Record(kWendal); }
  void LaunchOrbisk() override { Record(kOrbisk); }

  std::vector<LogOnCall> LogOns() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logOns_;
  }
  std::array<int, 3> Launches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return launches_;
  }

 private:
  void Record(Launch launch) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++launches_[launch];
    }
    if (launchFault_) throw std::runtime_error(*launchFault_);
  }

  mutable std::mutex mutex_;
  std::vector<LogOnCall> logOns_;
  std::array<int, 3> launches_{};
  std::optional<std::string> logOnFault_;
  std::optional<std::string> launchFault_;
  std::function<void()> beforeLogOn_;
};

// A scripted launcher served on endpoint "ApplicationLauncher" of `pid`.
struct ServedLauncher {
  explicit ServedLauncher(std::int32_t pid = OwnPid())
      : launcher(std::make_shared<ScriptedLauncher>()), host(launcher, pid, "ApplicationLauncher") {
    host.AddServiceEndpoint(TypeOf<IApplicationLauncher>());
  }
  std::shared_ptr<ScriptedLauncher> launcher;
  NamedPipeServiceHost host;
};

class HalvaneBridgeTest : public ::testing::Test {
 protected:
  Testing::PrivatePipeDir pipes_;
};

ServiceString Utf16(std::u16string units) { return ServiceString(std::move(units)); }

TEST_F(HalvaneBridgeTest, LogOnSendsTheFourStringsConvertedAndNullsAsEmptyStrings) {
  ServedLauncher served;
  served.host.Open();
  // The process's code page is 1252 (set for this test), so 0xE9 is U+00E9.
  char project[] = "/projects/caf\xe9";
  char user[] = "ann";
  char password[] = "pa ss";
  char author[] = "bob";
  Halvane::LogOn(project, user, password, author);
  Halvane::LogOn(nullptr, nullptr, nullptr, nullptr);
  Halvane::LogOn(nullptr, user, nullptr, author);

  std::vector<ScriptedLauncher::LogOnCall> calls = served.launcher->LogOns();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].projectPath, Utf16(u"/projects/caf\u00e9"));
  EXPECT_EQ(calls[0].user, Utf16(u"ann"));
  EXPECT_EQ(calls[0].password, Utf16(u"pa ss"));
  EXPECT_EQ(calls[0].author, Utf16(u"bob"));
  const ServiceString empty = Utf16(u"");
  for (const ServiceString* s :
       {&calls[1].projectPath, &calls[1].user, &calls[1].password, &calls[1].author}) {
    EXPECT_FALSE(s->IsNull());
    EXPECT_EQ(*s, empty);
  }
  EXPECT_EQ(calls[2].projectPath, empty);
  EXPECT_EQ(calls[2].user, Utf16(u"ann"));
  EXPECT_EQ(calls[2].password, empty);
  EXPECT_EQ(calls[2].author, Utf16(u"bob"));
  EXPECT_EQ(served.launcher->Launches(), (std::array<int, 3>{0, 0, 0}));
}

// A host cancels a thread blocked in LogOn on a launcher that does not
// answer: the thread must unwind, not abort the process ("exception not
// rethrown"). Run in a child process so that an abort fails this test alone.
TEST_F(HalvaneBridgeTest, LogOnLetsTheHostCancelAThreadBlockedInTheCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto gate = std::make_shared<CallGate>();
        ServedLauncher served;
        served.launcher->BeforeLogOnAnswers([gate] { gate->Hold(); });
        served.host.Open();
        ::_exit(CancelWhileBlocked(
            [] {
              char user[] = "ann";
              Halvane::LogOn(nullptr, user, nullptr, nullptr);
            },
            *gate));
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(HalvaneBridgeTest, LogOnSwallowsEveryFailure) {
  char user[] = "ann";
  // Nobody serves the endpoint.
  EXPECT_NO_THROW(Halvane::LogOn(nullptr, user, nullptr, nullptr));

  // The launcher raises a fault.
  ServedLauncher served;
  served.launcher->FailLogOn("project locked");
  served.host.Open();
  EXPECT_NO_THROW(Halvane::LogOn(nullptr, user, nullptr, nullptr));
  EXPECT_EQ(served.launcher->LogOns().size(), 1u);

  // The endpoint directory cannot be used at all.
  Testing::ScopedEnv unusable("NORV_PIPE_DIR", "/dev/null/pipes");
  EXPECT_NO_THROW(Halvane::LogOn(nullptr, user, nullptr, nullptr));
}

TEST_F(HalvaneBridgeTest, EachLaunchCallsItsOwnOperation) {
  ServedLauncher served;
  served.host.Open();
  Halvane::LaunchTrasko();
  Halvane::LaunchWendal();
  Halvane::LaunchWendal();
  Halvane::LaunchOrbisk();
  Halvane::LaunchOrbisk();
  Halvane::LaunchOrbisk();
  EXPECT_EQ(served.launcher->Launches(), (std::array<int, 3>{1, 2, 3}));
  EXPECT_TRUE(served.launcher->LogOns().empty());
}

TEST_F(HalvaneBridgeTest, LaunchWithNobodyListeningRaisesNamingProcessAndEndpoint) {
  const std::string pid = std::to_string(OwnPid());
  for (void (*launch)() :
       {&Halvane::LaunchTrasko, &Halvane::LaunchWendal, &Halvane::LaunchOrbisk}) {
    try {
      launch();
      ADD_FAILURE() << "a launch with nobody listening returned normally";
    } catch (const EndpointNotFoundException& e) {
      EXPECT_THAT(e.what(), HasSubstr(pid));
      EXPECT_THAT(e.what(), HasSubstr("ApplicationLauncher"));
    }
  }
}

TEST_F(HalvaneBridgeTest, LaunchFaultReachesTheCallerUnchanged) {
  ServedLauncher served;
  served.launcher->FailLaunches("no licence left");
  served.host.Open();
  try {
    Halvane::LaunchWendal();
    ADD_FAILURE() << "the launcher's fault was lost";
  } catch (const FaultException& e) {
    EXPECT_EQ(e.Reason(), "no licence left");
    EXPECT_THAT(e.what(), HasSubstr("LaunchWendal"));
  }
  EXPECT_EQ(served.launcher->Launches(), (std::array<int, 3>{0, 1, 0}));
}

TEST_F(HalvaneBridgeTest, EveryCallObtainsAFreshChannel) {
  // Two requests, two channels: the bridge keeps nothing between calls.
  std::shared_ptr<IApplicationLauncher> first = GetApplicationLauncher();
  std::shared_ptr<IApplicationLauncher> second = GetApplicationLauncher();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first.get(), second.get());

  // A launcher that goes away and a new one that comes: each launch reaches
  // whoever serves the endpoint at the time of the call.
  auto a = std::make_unique<ServedLauncher>();
  a->host.Open();
  Halvane::LaunchTrasko();
  a->host.Close();
  EXPECT_THROW(Halvane::LaunchTrasko(), EndpointNotFoundException);
  ServedLauncher b;
  b.host.Open();
  Halvane::LaunchTrasko();
  EXPECT_EQ(a->launcher->Launches(), (std::array<int, 3>{1, 0, 0}));
  EXPECT_EQ(b.launcher->Launches(), (std::array<int, 3>{1, 0, 0}));
}

TEST_F(HalvaneBridgeTest, OnlyTheLauncherOfThisProcessIsReached) {
  // A launcher serving another process id is not this process's launcher.
  ServedLauncher other(OwnPid() == 1 ? 2 : 1);
  other.host.Open();
  char user[] = "ann";
  Halvane::LogOn(nullptr, user, nullptr, nullptr);
  EXPECT_THROW(Halvane::LaunchTrasko(), CommunicationException);
  EXPECT_TRUE(other.launcher->LogOns().empty());
  EXPECT_EQ(other.launcher->Launches(), (std::array<int, 3>{0, 0, 0}));
}

TEST(HalvaneCopyAssignment, ReturnsTheLeftHandObject) {
  Halvane a;
  const Halvane b;
  EXPECT_EQ(&(a = b), &a);
}

}  // namespace
}  // namespace Norv::Halvane::Interop
