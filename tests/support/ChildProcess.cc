#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/base/Files.h"

extern char** environ;

namespace Norv::Testing {
namespace {

using Platform::internal::UniqueFd;
using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

void MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) ThrowErrno(errno, "pipe2");
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
}

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* Get() noexcept { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// A write to a pipe whose reader is gone raises SIGPIPE in the writing
// thread: blocked for the write, and taken back if the write caused it.
bool WriteWithoutSigpipe(int fd, std::string_view bytes) {
  sigset_t pipeSignal;
  sigset_t previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  const bool written = Platform::internal::WriteAll(fd, bytes);
  const int error = errno;
  if (!written && error == EPIPE && !alreadyPending) {
    const timespec none{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv)
    : ChildProcess(std::move(argv), Options{}) {}

ChildProcess::ChildProcess(std::vector<std::string> argv, Options options) {
  if (argv.empty()) throw std::invalid_argument("ChildProcess: no program to start");
  UniqueFd inputRead;
  UniqueFd inputWrite;
  UniqueFd outputRead;
  UniqueFd outputWrite;
  UniqueFd errorsRead;
  UniqueFd errorsWrite;
  MakePipe(outputRead, outputWrite);
  FileActions actions;
  switch (options.input) {
    case Input::kPipe:
      MakePipe(inputRead, inputWrite);
      posix_spawn_file_actions_adddup2(actions.Get(), inputRead.Get(), STDIN_FILENO);
      break;
    case Input::kDevNull:
      posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      break;
    case Input::kClosed:
      posix_spawn_file_actions_addclose(actions.Get(), STDIN_FILENO);
      break;
  }
  posix_spawn_file_actions_adddup2(actions.Get(), outputWrite.Get(), STDOUT_FILENO);
  switch (options.errors) {
    case ErrorStream::kInherit:
      break;
    case ErrorStream::kPipe:
      MakePipe(errorsRead, errorsWrite);
      posix_spawn_file_actions_adddup2(actions.Get(), errorsWrite.Get(), STDERR_FILENO);
      break;
    case ErrorStream::kIntoOutput:
      posix_spawn_file_actions_adddup2(actions.Get(), outputWrite.Get(), STDERR_FILENO);
      break;
  }

  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  const int rc =
      ::posix_spawn(&pid_, argv[0].c_str(), actions.Get(), nullptr, pointers.data(), environ);
  if (rc != 0) ThrowErrno(rc, "posix_spawn " + argv[0]);
  // The child's ends stay only in the child, so that its exit ends the
  // output the test reads.
  input_ = std::move(inputWrite);
  output_ = std::move(outputRead);
  errors_ = std::move(errorsRead);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(std::exchange(other.status_, 0)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      errors_(std::move(other.errors_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (!status_) Kill(SIGKILL);
}

void ChildProcess::Write(std::string_view bytes) {
  if (!input_.Valid()) {
    throw std::logic_error("process " + std::to_string(pid_) + ": standard input is not open");
  }
  if (!WriteWithoutSigpipe(input_.Get(), bytes)) {
    ThrowErrno(errno, "writing to the standard input of process " + std::to_string(pid_));
  }
}

void ChildProcess::WriteLine(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  Write(text);
}

void ChildProcess::CloseInput() noexcept { input_.Reset(); }

bool ChildProcess::Pump(Clock::time_point deadline) {
  pollfd fds[2] = {{output_.Get(), POLLIN, 0}, {errors_.Get(), POLLIN, 0}};
  if (!output_.Valid() && !errors_.Valid()) return false;
  int ready;
  do {
    ready = ::poll(fds, 2, MillisecondsUntil(deadline));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  UniqueFd* pipes[2] = {&output_, &errors_};
  std::string* sinks[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char chunk[4096];
    ssize_t got;
    do {
      got = ::read(fds[i].fd, chunk, sizeof chunk);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
      sinks[i]->append(chunk, static_cast<std::size_t>(got));
    } else {
      pipes[i]->Reset();  // the end of that stream
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const std::size_t newline = out_.find('\n');
    if (newline != std::string::npos) {
      std::string line = out_.substr(0, newline);
      out_.erase(0, newline + 1);
      return line;
    }
    if (!output_.Valid()) {
      if (out_.empty()) return std::nullopt;
      return std::exchange(out_, std::string());
    }
    if (!Pump(deadline)) return std::nullopt;
  }
}

bool ChildProcess::HasLine() {
  while (out_.find('\n') == std::string::npos) {
    if (!output_.Valid() || !Pump(Clock::now())) return false;
  }
  return true;
}

std::optional<std::string> ChildProcess::Read(std::size_t count,
                                              std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (out_.size() < count) {
    if (!output_.Valid() || !Pump(deadline)) return std::nullopt;
  }
  std::string bytes = out_.substr(0, count);
  out_.erase(0, count);
  return bytes;
}

bool ChildProcess::Readable(std::chrono::milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  while (out_.empty() && output_.Valid()) {
    if (!Pump(deadline)) break;
  }
  // At the end of the output a Read does not wait either.
  return !out_.empty() || !output_.Valid();
}

std::optional<int> ChildProcess::TryReap() {
  if (status_) return status_;
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(pid_, &status, WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == pid_) status_ = status;
  return status_;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (std::optional<int> status = TryReap()) return status;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return std::nullopt;
    const Clock::time_point step = std::min(now + std::chrono::milliseconds(5), deadline);
    if (output_.Valid() || errors_.Valid()) {
      Pump(step);
    } else {
      std::this_thread::sleep_until(step);
    }
  }
}

int ChildProcess::Finish(std::chrono::milliseconds timeout) {
  CloseInput();
  const Clock::time_point deadline = Clock::now() + timeout;
  while (Pump(deadline)) {
  }
  std::optional<int> status = Wait(std::chrono::duration_cast<std::chrono::milliseconds>(
      std::max(deadline - Clock::now(), Clock::duration::zero())));
  if (!status) status = Kill(SIGKILL);
  return ExitCode(*status);
}

int ChildProcess::Kill(int signal) {
  if (status_) return *status_;
  ::kill(pid_, signal);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
  return status;
}

void ChildProcess::Signal(int signal) {
  if (!status_) ::kill(pid_, signal);
}

int ChildProcess::ExitCode(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return WEXITSTATUS(waitStatus);
}

}  // namespace Norv::Testing
