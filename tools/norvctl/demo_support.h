// Pieces of `norvctl demo`: the table it prints, the directories it works
// in, and the subscriber processes it starts.
//
// Thread-safety: none of these objects may be shared between threads.
#ifndef NORV_TOOLS_NORVCTL_DEMO_SUPPORT_H_
#define NORV_TOOLS_NORVCTL_DEMO_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace Norv::Ctl::Demo {

// Prints rows of three columns (call, what was sent, what came back) as they
// happen, so that a failing call still shows everything before it. A cell
// may hold several lines; the row takes as many lines as its tallest cell.
class Table {
 public:
  explicit Table(std::FILE* out) : out_(out) {}

  // A heading line and the column titles of the rows after it.
  void Section(const std::string& title);
  void Row(const std::string& call, const std::vector<std::string>& sent,
           const std::vector<std::string>& got);
  // A line indented to the "got" column, for something that happened
  // outside any call (a subscriber's output, a check).
  void Note(const std::string& text);

  // The longest call name is 50 characters. A longer "sent" cell is broken
  // after its commas.
  static constexpr int kCallWidth = 50;
  static constexpr int kSentWidth = 34;

 private:
  std::FILE* out_;
};

// A directory made with mkdtemp, removed with everything in it on scope exit
// unless kept.
class ScratchDir {
 public:
  // Creates `<TMPDIR or /tmp>/<prefix>XXXXXX`.
  explicit ScratchDir(const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& Path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

// One `norvctl shutdown subscribe` process, started with posix_spawn (never
// fork: the demo runs gRPC) with its standard input and output on pipes.
// Closing its input makes it unsubscribe and end; the destructor does that,
// and kills the process if it does not end within a few seconds, so that
// nothing outlives the demo.
class SubscriberProcess {
 public:
  // Runs `program shutdown subscribe --pid <pid> --key <key> --answer <answer>
  // --until-stdin-closes`.
  SubscriberProcess(const std::string& program, int pid, int key, const std::string& answer);
  ~SubscriberProcess();
  SubscriberProcess(const SubscriberProcess&) = delete;
  SubscriberProcess& operator=(const SubscriberProcess&) = delete;

  pid_t Pid() const noexcept { return pid_; }
  int Key() const noexcept { return key_; }
  const std::string& Answer() const noexcept { return answer_; }

  // The next line the subscriber prints. Raises, naming the subscriber, when
  // its output ends or nothing arrives within `timeout`.
  std::string ReadLine(std::chrono::milliseconds timeout);
  void CloseInput() noexcept;
  // Waits for the process to end and returns its exit status. Raises when it
  // has not ended within `timeout` or ended by a signal.
  int Wait(std::chrono::milliseconds timeout);

  std::string Describe() const;

 private:
  pid_t pid_ = -1;
  int key_;
  std::string answer_;
  bool reaped_ = false;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
};

// The path of the running program (/proc/self/exe).
std::filesystem::path SelfExecutable();

// The bundled companion program, norv-companion-demo: beside the running
// program when installed, or in the build tree's servers/launcher. Raises
// naming the places looked at when it is in neither.
std::filesystem::path FindCompanionProgram();

// A value shown in the table: the shortest text that reads back as `value`.
std::string FormatNumber(double value);
// `text` in double quotes.
std::string Quoted(const std::string& text);

}  // namespace Norv::Ctl::Demo

#endif  // NORV_TOOLS_NORVCTL_DEMO_SUPPORT_H_
