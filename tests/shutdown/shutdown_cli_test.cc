// norvctl shutdown host and norvctl shutdown subscribe against each other:
// the host side's commands and answers, and the subscriber's output.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "tests/shutdown/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

TEST(ShutdownCliTest, HostAndSubscriberTalkThroughTheirStandardStreams) {
  PrivatePipeDir pipes;
  const std::string pid = std::to_string(::getpid() + 100000);
  ChildProcess host(NORVCTL, {"shutdown", "host", "--pid", pid});
  ASSERT_EQ(host.ReadLine(), "start: process " + pid);

  ChildProcess refuser(NORVCTL,
                       {"shutdown", "subscribe", "--pid", pid, "--key", "3", "--answer", "no"});
  ASSERT_EQ(refuser.ReadLine(), "subscribed: process " + pid + ", endpoint Shutdown, key 3");
  ChildProcess failing(NORVCTL,
                       {"shutdown", "subscribe", "--pid", pid, "--key", "4", "--answer", "fail"});
  ASSERT_EQ(failing.ReadLine(), "subscribed: process " + pid + ", endpoint Shutdown, key 4");

  host.WriteLine("request");
  EXPECT_EQ(host.ReadLine(), "request: false");
  EXPECT_EQ(refuser.ReadLine(), "request: answered no");
  EXPECT_EQ(failing.ReadLine(), "request: failed");

  // A subscriber whose input ends leaves; the refusal goes with it.
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
}

TEST(ShutdownCliTest, SubscribingWhereNobodyListensFailsWithTheProcessAndEndpoint) {
  PrivatePipeDir pipes;
  ChildProcess lonely(NORVCTL,
                      {"shutdown", "subscribe", "--pid", "1", "--key", "1", "--answer", "yes"});
  EXPECT_EQ(lonely.ReadLine(), std::nullopt);  // output ends without a line
  const std::optional<int> status = lonely.Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
}

}  // namespace
}  // namespace Norv::Testing
