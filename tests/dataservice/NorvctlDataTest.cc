// norvctl project create-demo, serve data-service and data ..., run as real
// processes against each other.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kPid = 4100031;
constexpr auto kDeadline = std::chrono::seconds(60);

// norvctl with `args`, `input` on its standard input (closed after it) and
// its standard error on a pipe of its own.
ChildProcess Norvctl(std::vector<std::string> args, const std::string& input) {
  args.insert(args.begin(), NORV_NORVCTL);
  ChildProcess child(std::move(args), {.errors = ChildProcess::ErrorStream::kPipe});
  child.Write(input);
  child.CloseInput();
  return child;
}

// Standard output up to and including the first line that contains
// `marker`, or all of it if the child ends first.
std::string ReadUntil(ChildProcess& child, const std::string& marker) {
  std::string text;
  while (std::optional<std::string> line = child.ReadLine(kDeadline)) {
    text += *line + "\n";
    if (line->find(marker) != std::string::npos) break;
  }
  return text;
}

TEST(NorvctlDataTest, ServesADemoProjectAndAnswersQueries) {
  PrivatePipeDir pipes;
  TempDir dir;
  const std::string db = (dir.Path() / "demo.db").string();
  {
    ChildProcess create = Norvctl({"project", "create-demo", db, "--admin-password", "adm",
                                   "--weak-hashes", "--boreholes", "40"},
                                  "");
    ASSERT_EQ(create.Finish(kDeadline), 0) << create.Err();
    EXPECT_THAT(create.Out(), HasSubstr("created demo project \"demo\""));
    // Only the password that was not given is printed.
    EXPECT_THAT(create.Out(), HasSubstr("viewer: "));
    EXPECT_THAT(create.Out(), ::testing::Not(HasSubstr("adm\n")));
  }
  {
    ChildProcess again = Norvctl({"project", "create-demo", db, "--weak-hashes"}, "");
    EXPECT_EQ(again.Finish(kDeadline), 1);
    EXPECT_THAT(again.Err(), HasSubstr("already exists"));
  }

  ChildProcess server =
      Norvctl({"serve", "data-service", "--db", db, "--pid", std::to_string(kPid)}, "");
  std::string banner = ReadUntil(server, "stop with");
  ASSERT_THAT(banner, HasSubstr("for process " + std::to_string(kPid))) << server.Err();
  std::filesystem::path socket;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(pipes.Path())) {
    if (entry.path().extension() == ".sock") socket = entry.path();
  }
  ASSERT_FALSE(socket.empty());
  EXPECT_THAT(banner, HasSubstr(socket.string()));

  auto query = [&](std::vector<std::string> args, const std::string& password) {
    args.insert(args.end(),
                {"--pid", std::to_string(kPid), "--project", "demo", "--password-stdin", "--json"});
    auto child = std::make_unique<ChildProcess>(Norvctl(args, password + "\n"));
    child->Finish(kDeadline);
    return child;
  };
  auto admin = query({"data", "is-admin", "--user", "admin"}, "adm");
  EXPECT_EQ(admin->Out(), "true\n") << admin->Err();
  auto authors = query({"data", "authors", "--user", "admin"}, "adm");
  EXPECT_THAT(authors->Out(), StartsWith("[\"Amara Okafor\", ")) << authors->Err();
  auto templates = query({"data", "templates", "--user", "admin", "--author", "Rei Tanaka"}, "adm");
  EXPECT_THAT(templates->Out(), HasSubstr("{\"key\": ")) << templates->Err();
  auto wrong = query({"data", "is-restricted", "--user", "admin"}, "nope");
  EXPECT_THAT(wrong->Err(), HasSubstr("wrong password for user \"admin\""));
  auto missing = query(
      {"data", "eur-list", "--user", "admin", "--forecast", "Nothing", "--author", "Rei Tanaka"},
      "adm");
  EXPECT_THAT(missing->Err(), HasSubstr("has no named forecast \"Nothing\""));

  ASSERT_EQ(::kill(server.Pid(), SIGTERM), 0);
  EXPECT_EQ(server.Finish(kDeadline), 0) << server.Err();
  EXPECT_THAT(server.Out(), HasSubstr("stopped on SIGTERM"));
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(NorvctlDataTest, QueriesWithoutAServiceFailWithAMessage) {
  PrivatePipeDir pipes;
  ChildProcess child = Norvctl({"data", "is-admin", "--pid", std::to_string(kPid), "--project", "p",
                                "--user", "u", "--password-stdin"},
                               "pw\n");
  EXPECT_EQ(child.Finish(kDeadline), 1);
  EXPECT_THAT(child.Err(), HasSubstr(std::to_string(kPid)));
}

}  // namespace
}  // namespace Norv::Testing
