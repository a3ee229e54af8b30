// The soak driver must catch what it is there to catch: each planted fault
// (a client answering against its instructions, a leaked descriptor, memory
// growth, a wrong data answer, a client process dying) makes it fail with a
// reason naming the fault, without hanging; a clean run passes with the
// counts it was asked for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace Norv::Testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

struct Outcome {
  int status = -1;
  std::string output;
};

// Runs the soak with a few clients, its standard error merged into the
// output.
Outcome RunSoak(const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {NORV_SOAK, "--clients",    "6",  "--data-threads",
                                   "2",       "--time-limit", "240"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  ChildProcess soak(argv, {.errors = ChildProcess::ErrorStream::kIntoOutput});
  Outcome outcome;
  while (std::optional<std::string> line = soak.ReadLine(std::chrono::seconds(300))) {
    outcome.output += *line + "\n";
  }
  std::optional<int> status = soak.Wait(std::chrono::seconds(60));
  if (status && WIFEXITED(*status)) outcome.status = WEXITSTATUS(*status);
  return outcome;
}

TEST(SoakSelfCheckTest, ACleanRunPassesWithTheCountsAskedFor) {
  Outcome outcome = RunSoak({"--rounds", "3", "--walks", "4"});
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  // Two requests and two forces in each of 3 rounds.
  EXPECT_THAT(outcome.output,
              AllOf(HasSubstr("norv_soak: passed: 3 rounds"), HasSubstr("6 client processes"),
                    HasSubstr("6 requests and 6 forces")));
}

TEST(SoakSelfCheckTest, EachPlantedFaultFailsTheSoakWithItsReason) {
  struct Case {
    const char* fault;
    std::vector<std::string> extra;
    std::vector<std::string> reason;
  };
  const Case cases[] = {
      {"client-lies",
       {},
       {"round 1, walk 0: RequestStopShutdownService answered true, expected false",
        "(key 1) stays subscribed and refuses",
        "that client reports being asked 2 times by the round's 2 requests"}},
      {"fd-leak", {}, {"open descriptors did not return to their count", "(/dev/null)"}},
      {"rss-growth",
       {"--max-rss-growth-mib", "8"},
       {"resident memory grew by", "more than the bound of 8 MiB"}},
      {"wrong-data", {}, {"GetForecastEUR(Decline, Zoe) (process 4900001, borehole", "expected"}},
      {"client-dies", {}, {"client process", "(key 0)"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--rounds", "2", "--inject", c.fault};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    Outcome outcome = RunSoak(args);
    EXPECT_EQ(outcome.status, 1) << c.fault << ":\n" << outcome.output;
    EXPECT_THAT(outcome.output, HasSubstr("norv_soak: FAILED: ")) << c.fault;
    for (const std::string& text : c.reason) {
      EXPECT_THAT(outcome.output, HasSubstr(text)) << c.fault;
    }
    EXPECT_THAT(outcome.output, ::testing::Not(HasSubstr("passed"))) << c.fault;
  }
}

TEST(SoakSelfCheckTest, BadArgumentsAreRefusedBeforeAnythingStarts) {
  EXPECT_EQ(RunSoak({"--inject", "gremlins"}).status, 2);
  Outcome outcome = RunSoak({"--rounds", "0"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_THAT(outcome.output, HasSubstr("--rounds needs a whole number of at least 1"));
}

}  // namespace
}  // namespace Norv::Testing
