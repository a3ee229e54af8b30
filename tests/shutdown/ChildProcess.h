// ChildProcess: a program started with posix_spawn (never fork: the test
// process runs gRPC), with its standard output on a pipe and its standard
// input on a pipe, /dev/null or closed. The destructor kills and reaps a
// child that is still running.
#ifndef NORV_TESTS_SHUTDOWN_CHILD_PROCESS_H_
#define NORV_TESTS_SHUTDOWN_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace Norv::Testing {

class ChildProcess {
 public:
  // Where the child's standard input comes from.
  enum class Input { kPipe, kDevNull, kClosed };

  // Starts `program` with `args` (argv[1] on) and this process's environment.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               Input input = Input::kPipe);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const noexcept { return pid_; }

  // The next line of the child's output, without its newline; nullopt when
  // the output ends or nothing arrives within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = kDefaultTimeout);
  // Whether a whole line is ready at once, without waiting.
  bool HasLine();
  void WriteLine(const std::string& line);
  void CloseInput() noexcept;

  // Sends `signal` and reaps the child.
  void Kill(int signal);
  // Sends `signal` and leaves the child to Wait().
  void Signal(int signal);
  // Waits for the child to end; its wait status, or nullopt after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout = kDefaultTimeout);

  static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

 private:
  bool FillBuffer(int timeoutMs);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
};

}  // namespace Norv::Testing

#endif  // NORV_TESTS_SHUTDOWN_CHILD_PROCESS_H_
