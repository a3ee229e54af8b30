// ChildProcess: the one way the tests start a program. posix_spawn, never
// fork (the test process may run gRPC's threads); standard input on a pipe,
// /dev/null or closed; standard output on a pipe that the test reads by line
// or by byte, each read bounded by a time-out; standard error on a pipe of its
// own, merged into standard output, or left to the test's. A child still
// running when the object goes is killed (SIGKILL) and reaped.
//
// Output is read into a buffer whenever the object waits on the child, from
// both pipes, so a child never blocks on a full pipe while the test waits for
// something else. Writing to a child that stopped reading raises instead of
// raising SIGPIPE.
//
// Thread-safety: one thread drives a ChildProcess.
#ifndef NORV_TESTS_SUPPORT_CHILD_PROCESS_H_
#define NORV_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/UniqueFd.h"

namespace Norv::Testing {

class ChildProcess {
 public:
  // Where the child's standard input comes from.
  enum class Input { kPipe, kDevNull, kClosed };
  // Where the child's standard error goes: the test's own, a pipe that Err()
  // collects, or the standard output pipe.
  enum class ErrorStream { kInherit, kPipe, kIntoOutput };
  struct Options {
    Input input = Input::kPipe;
    ErrorStream errors = ErrorStream::kInherit;
  };

  static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

  // Starts the program at the path argv[0] with `argv` and this process's
  // environment. Raises std::system_error when it cannot be started.
  explicit ChildProcess(std::vector<std::string> argv);
  ChildProcess(std::vector<std::string> argv, Options options);
  ~ChildProcess();
  // The moved-from object no longer owns the child.
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ChildProcess& operator=(ChildProcess&&) = delete;

  pid_t Pid() const noexcept { return pid_; }

  // Standard input (Input::kPipe). Write raises std::system_error when the
  // child no longer reads.
  void Write(std::string_view bytes);
  void WriteLine(std::string_view line);
  void CloseInput() noexcept;

  // The next line of standard output without its newline (the last line may
  // lack one); nullopt when the output ends or no line comes within
  // `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = kDefaultTimeout);
  // Whether a whole line is there already, without waiting.
  bool HasLine();
  // Exactly `count` bytes of standard output; nullopt when the output ends or
  // they do not all come within `timeout`.
  std::optional<std::string> Read(std::size_t count,
                                  std::chrono::milliseconds timeout = kDefaultTimeout);
  // Whether standard output has a byte to read, waiting up to `wait` for one.
  bool Readable(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

  // Closes standard input, reads standard output (and the error pipe) to
  // their end and reaps the child; a child still running after `timeout` is
  // killed first. Its exit code, 128 + the signal's number when a signal
  // ended it. Out() then holds what ReadLine and Read had not taken.
  int Finish(std::chrono::milliseconds timeout = kDefaultTimeout);
  // Waits for the child to end (reading its output meanwhile); its wait
  // status, or nullopt after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout = kDefaultTimeout);
  // Sends `signal` and reaps the child; its wait status.
  int Kill(int signal = SIGKILL);
  // Sends `signal` and leaves the child to Wait or Finish.
  void Signal(int signal);

  // Standard output read and not yet taken; the error pipe's text so far.
  const std::string& Out() const noexcept { return out_; }
  const std::string& Err() const noexcept { return err_; }

  // 128 + signal for a wait status of a signalled child, else its exit code.
  static int ExitCode(int waitStatus);

 private:
  // Reads what either pipe has, waiting until `deadline` for something;
  // false when nothing came (the time-out, or both pipes at their end).
  bool Pump(std::chrono::steady_clock::time_point deadline);
  std::optional<int> TryReap();

  pid_t pid_ = -1;
  std::optional<int> status_;  // set once reaped
  Platform::internal::UniqueFd input_;
  Platform::internal::UniqueFd output_;
  Platform::internal::UniqueFd errors_;
  std::string out_;
  std::string err_;
};

}  // namespace Norv::Testing

#endif  // NORV_TESTS_SUPPORT_CHILD_PROCESS_H_
