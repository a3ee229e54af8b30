// The edges of a host process's life, with norv_pipes_edges as the host
// application against the reference data service served here: calls from
// exit handlers and destructors, calls in a forked child, and the files an
// open host leaves when its process exits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "servers/dataservice/DataServiceHost.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "servers/dataservice/SqliteDataService.h"
#include "services/DateTime.h"
#include "services/NamedPipeServiceHost.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestSupport.h"

namespace Norv::Testing {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr int kPid = 4100071;

class EdgesTest : public ::testing::Test {
 protected:
  EdgesTest() {
    const std::filesystem::path file = dir_.Path() / "north.db";
    Servers::ProjectWriter writer(file);
    writer.Begin();
    std::int64_t project = writer.AddProject("north", "North");
    writer.AddUser(project, "ada", "s3cret", true, false, Servers::PasswordHashCost::kMinimal);
    std::int64_t zoe = writer.AddAuthor(project, "Zoe");
    writer.AddBorehole(project, 103, "B");
    writer.SetForecast(writer.AddTemplate(zoe, "Decline"), 103, 250.5, 100.25,
                       DateTime{2031, 3, 7, 14, 30});
    writer.Commit();
    host_ = Servers::NewDataServiceHost(std::make_shared<Servers::SqliteDataService>(file), kPid);
    host_->Open();
  }
  ~EdgesTest() override { host_->Close(); }

  // Runs norv_pipes_edges in `mode` to its end: its lines, and its exit code
  // in *code.
  std::vector<std::string> Run(const std::string& mode, int* code, int* pid = nullptr) {
    ChildProcess edges({(BinaryDir() / "tests" / "pipes" / "norv_pipes_edges").string(), mode,
                        std::to_string(kPid), "north", "ada", "s3cret"},
                       {.input = ChildProcess::Input::kDevNull});
    if (pid != nullptr) *pid = edges.Pid();
    std::vector<std::string> lines;
    while (std::optional<std::string> line = edges.ReadLine()) lines.push_back(*line);
    *code = edges.Finish();
    return lines;
  }

  // The files of process `pid`'s endpoints in the endpoint directory.
  std::vector<std::string> FilesOf(int pid) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(pipes_.Path() / "pipes")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(std::to_string(pid) + ".", 0) == 0) names.push_back(name);
    }
    return names;
  }

  PrivatePipeDir pipes_;
  TempDir dir_;
  std::unique_ptr<ServiceModel::NamedPipeServiceHost> host_;
};

// Each call comes after the library's per-thread state of its thread is
// gone (gRPC aborted in a completion queue destroyed with it), the atexit
// handler's thread on a thread the library never saw. Under code page 932
// the strings go through the text platform's converters, the date through
// the conversion's scratch text.
TEST_F(EdgesTest, CallsWorkFromThreadLocalAndStaticDestructorsAndAtexitHandlers) {
  int code = -1;
  ScopedEnv codePage("NORV_ANSI_CODEPAGE", "932");
  const std::vector<std::string> lines = Run("exit-calls", &code);
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines[0], AllOf(StartsWith("worker: true "), HasSubstr("2031")));
  const std::string answer = lines[0].substr(std::string("worker: ").size());
  EXPECT_THAT(lines,
              ElementsAre("worker: " + answer, "worker thread_local: " + answer, "main: " + answer,
                          "main thread_local: " + answer, "atexit: " + answer,
                          "atexit thread: " + answer, "static destructor: " + answer));
  EXPECT_EQ(code, 0);
}

TEST_F(EdgesTest, ChildForkedBeforeAnyCallIsAFreshUser) {
  int code = -1;
  EXPECT_THAT(Run("fork-fresh", &code),
              ElementsAre("child: true", "child exit: 0", "parent: true"));
  EXPECT_EQ(code, 0);
}

// The child's calls fail, naming the fork, without a byte on the parent's
// connection or session; closing what it inherited leaves the parent's host
// serving and its files in place. The parent's calls then answer within the
// program's 3 s time-out, and its open host leaves no file at exit.
TEST_F(EdgesTest, ForkedChildLeavesTheParentsConnectionsHostAndFilesAlone) {
  int code = -1;
  int pid = 0;
  const std::vector<std::string> lines = Run("fork-used", &code, &pid);
  const auto forkError = [pid](const std::string& what) {
    return AllOf(StartsWith(what + ": error: "),
                 HasSubstr("which process " + std::to_string(pid) + " forked without exec"),
                 HasSubstr("posix_spawn"));
  };
  EXPECT_THAT(lines,
              ElementsAre("before fork: true", forkError("child call"), forkError("child ping"),
                          forkError("child open"), "child files: socket, lock", "child exit: 0",
                          "parent files: socket, lock", "parent call: true", "parent ping: ok",
                          "parent request: false"));
  EXPECT_EQ(code, 0);
  EXPECT_THAT(FilesOf(pid), IsEmpty());
}

}  // namespace
}  // namespace Norv::Testing
