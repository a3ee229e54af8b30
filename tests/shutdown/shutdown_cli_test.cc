// norvctl shutdown host and norvctl shutdown subscribe against each other:
// the host side's commands and answers, and the subscriber's output.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

TEST(ShutdownCliTest, HostAndSubscriberTalkThroughTheirStandardStreams) {
  PrivatePipeDir pipes;
  const std::string pid = std::to_string(::getpid() + 100000);
  ChildProcess host({NORVCTL, "shutdown", "host", "--pid", pid});
  ASSERT_EQ(host.ReadLine(), "start: process " + pid);

  ChildProcess refuser(
      {NORVCTL, "shutdown", "subscribe", "--pid", pid, "--key", "3", "--answer", "no"});
  ASSERT_EQ(refuser.ReadLine(), "subscribed: process " + pid + ", endpoint Shutdown, key 3");
  ChildProcess failing({NORVCTL, "shutdown", "subscribe", "--pid", pid, "--key", "4", "--answer",
                        "fail", "--until-stdin-closes"});
  ASSERT_EQ(failing.ReadLine(), "subscribed: process " + pid + ", endpoint Shutdown, key 4");

  host.WriteLine("request");
  EXPECT_EQ(host.ReadLine(), "request: false");
  EXPECT_EQ(refuser.ReadLine(), "request: answered no");
  EXPECT_EQ(failing.ReadLine(), "request: failed");

  // A subscriber told to leave when its input ends does; the refusal goes
  // with it.
  failing.CloseInput();
  ASSERT_TRUE(failing.Wait().has_value());
  host.WriteLine("force");
  EXPECT_EQ(host.ReadLine(), "force: done");
  EXPECT_EQ(refuser.ReadLine(), "force: shutting down");
  const std::optional<int> status = refuser.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  host.WriteLine("request");
  EXPECT_EQ(host.ReadLine(), "request: true");

  host.WriteLine("start twelve");
  EXPECT_EQ(host.ReadLine(), "error: start takes one process id, as in 'start 4242'");
  host.WriteLine("reboot");
  EXPECT_EQ(host.ReadLine(),
            "error: unknown command 'reboot' (expected request, force, stop, start PID or quit)");
  host.WriteLine("stop");
  EXPECT_EQ(host.ReadLine(), "stop: done");
  host.WriteLine("start " + pid);
  EXPECT_EQ(host.ReadLine(), "start: process " + pid);
  host.WriteLine("quit");
  const std::optional<int> hostStatus = host.Wait();
  ASSERT_TRUE(hostStatus.has_value());
  EXPECT_TRUE(WIFEXITED(*hostStatus) && WEXITSTATUS(*hostStatus) == 0);
  // quit stopped the service, as a signal does: no socket or lock file is left.
  EXPECT_TRUE(std::filesystem::is_empty(pipes.Path() / "pipes"));
}

bool ExitedWithZero(const std::optional<int>& status) {
  return status.has_value() && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Started in a script's background, under a service manager or by a program
// that closes its input, a subscriber has no input at all: it must stay
// subscribed until a signal tells it to leave, and then leave cleanly.
TEST(ShutdownCliTest, SubscriberWithoutInputStaysSubscribedUntilSignalled) {
  PrivatePipeDir pipes;
  const std::string pid = std::to_string(::getpid() + 100000);
  ChildProcess host({NORVCTL, "shutdown", "host", "--pid", pid});
  ASSERT_EQ(host.ReadLine(), "start: process " + pid);
  const std::pair<ChildProcess::Input, int> cases[] = {{ChildProcess::Input::kDevNull, SIGTERM},
                                                       {ChildProcess::Input::kClosed, SIGINT}};
  for (const auto& [input, signal] : cases) {
    SCOPED_TRACE(signal == SIGTERM ? "input /dev/null, SIGTERM" : "input closed, SIGINT");
    ChildProcess refuser(
        {NORVCTL, "shutdown", "subscribe", "--pid", pid, "--key", "7", "--answer", "no"},
        {.input = input});
    ASSERT_EQ(refuser.ReadLine(), "subscribed: process " + pid + ", endpoint Shutdown, key 7");
    EXPECT_EQ(refuser.Wait(std::chrono::milliseconds(500)), std::nullopt)
        << "the subscriber left on its own";
    host.WriteLine("request");
    EXPECT_EQ(host.ReadLine(), "request: false");  // it is still there, and refuses
    EXPECT_EQ(refuser.ReadLine(), "request: answered no");

    refuser.Signal(signal);
    EXPECT_EQ(refuser.ReadLine(),
              std::string("stopped on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
    EXPECT_TRUE(ExitedWithZero(refuser.Wait()));
    host.WriteLine("request");
    EXPECT_EQ(host.ReadLine(), "request: true");  // it unsubscribed
  }
  host.WriteLine("quit");
  EXPECT_TRUE(ExitedWithZero(host.Wait()));
}

// The host likewise serves on after its input ends, until a signal; with
// --until-stdin-closes the end of input ends it.
TEST(ShutdownCliTest, HostWithoutInputServesUntilSignalled) {
  PrivatePipeDir pipes;
  const std::string pid = std::to_string(::getpid() + 100000);
  {
    ChildProcess host({NORVCTL, "shutdown", "host", "--pid", pid},
                      {.input = ChildProcess::Input::kDevNull});
    ASSERT_EQ(host.ReadLine(), "start: process " + pid);
    EXPECT_EQ(host.Wait(std::chrono::milliseconds(500)), std::nullopt) << "the host left";
    ChildProcess subscriber(
        {NORVCTL, "shutdown", "subscribe", "--pid", pid, "--key", "1", "--answer", "yes"});
    ASSERT_EQ(subscriber.ReadLine(), "subscribed: process " + pid + ", endpoint Shutdown, key 1");
    subscriber.Signal(SIGTERM);
    EXPECT_EQ(subscriber.ReadLine(), "stopped on SIGTERM");
    EXPECT_TRUE(ExitedWithZero(subscriber.Wait()));

    host.Signal(SIGTERM);
    EXPECT_EQ(host.ReadLine(), "stopped on SIGTERM");
    EXPECT_TRUE(ExitedWithZero(host.Wait()));
    // It stopped the service on its way out: nobody listens any more.
    ChildProcess late(
        {NORVCTL, "shutdown", "subscribe", "--pid", pid, "--key", "2", "--answer", "yes"});
    EXPECT_EQ(late.ReadLine(), std::nullopt);
    const std::optional<int> lateStatus = late.Wait();
    ASSERT_TRUE(lateStatus.has_value());
    EXPECT_TRUE(WIFEXITED(*lateStatus) && WEXITSTATUS(*lateStatus) == 1);
  }
  ChildProcess host({NORVCTL, "shutdown", "host", "--pid", pid, "--until-stdin-closes"},
                    {.input = ChildProcess::Input::kDevNull});
  EXPECT_EQ(host.ReadLine(), "start: process " + pid);
  EXPECT_TRUE(ExitedWithZero(host.Wait()));
}

TEST(ShutdownCliTest, SubscribingWhereNobodyListensFailsWithTheProcessAndEndpoint) {
  PrivatePipeDir pipes;
  ChildProcess lonely(
      {NORVCTL, "shutdown", "subscribe", "--pid", "1", "--key", "1", "--answer", "yes"});
  EXPECT_EQ(lonely.ReadLine(), std::nullopt);  // output ends without a line
  const std::optional<int> status = lonely.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
}

// The next line that does not start with "waiting: " (a reconnecting
// subscriber reports each new reason it cannot subscribe yet).
std::optional<std::string> NextNonWaitingLine(ChildProcess& child) {
  for (;;) {
    std::optional<std::string> line = child.ReadLine();
    if (!line.has_value() || line->rfind("waiting: ", 0) != 0) return line;
  }
}

// A host that dies ends its subscribers' sessions: a plain subscriber says
// so and exits 3; one with --reconnect subscribes again, under its key, to
// the host started next on that process id, and hears a host that stops.
TEST(ShutdownCliTest, SubscribersHearTheirHostGoAndReconnectWhenAsked) {
  PrivatePipeDir pipes;
  const std::string pid = std::to_string(::getpid() + 100000);
  const std::string subscribed = "subscribed: process " + pid + ", endpoint Shutdown, key ";
  auto host = std::make_unique<ChildProcess>(
      std::vector<std::string>{NORVCTL, "shutdown", "host", "--pid", pid});
  ASSERT_EQ(host->ReadLine(), "start: process " + pid);
  ChildProcess plain({NORVCTL, "shutdown", "subscribe", "--pid", pid, "--key", "1"});
  ASSERT_EQ(plain.ReadLine(), subscribed + "1");
  ChildProcess loyal({NORVCTL, "shutdown", "subscribe", "--pid", pid, "--key", "2", "--answer",
                      "no", "--reconnect"});
  ASSERT_EQ(loyal.ReadLine(), subscribed + "2");

  host->Signal(SIGKILL);
  ASSERT_TRUE(host->Wait().has_value());
  const std::string died = "ended: host died: process " + pid + ", endpoint Shutdown: ";
  EXPECT_EQ(plain.ReadLine().value_or("").rfind(died, 0), 0u);
  const std::optional<int> status = plain.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3);
  EXPECT_EQ(loyal.ReadLine().value_or("").rfind(died, 0), 0u);

  host = std::make_unique<ChildProcess>(
      std::vector<std::string>{NORVCTL, "shutdown", "host", "--pid", pid});
  ASSERT_EQ(host->ReadLine(), "start: process " + pid);
  ASSERT_EQ(NextNonWaitingLine(loyal), subscribed + "2");
  host->WriteLine("request");
  EXPECT_EQ(host->ReadLine(), "request: false");  // the key is back, refusing
  EXPECT_EQ(loyal.ReadLine(), "request: answered no");

  host->WriteLine("stop");
  EXPECT_EQ(host->ReadLine(), "stop: done");
  EXPECT_EQ(loyal.ReadLine(), "ended: host closed: process " + pid +
                                  ", endpoint Shutdown: the service ended it: the host is closing");
  loyal.Signal(SIGTERM);
  EXPECT_EQ(NextNonWaitingLine(loyal), "stopped on SIGTERM");
  EXPECT_TRUE(ExitedWithZero(loyal.Wait()));
  host->WriteLine("quit");
  EXPECT_TRUE(ExitedWithZero(host->Wait()));
}

}  // namespace
}  // namespace Norv::Testing
