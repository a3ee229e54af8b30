#include "tests/shutdown/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace Norv::Testing {
namespace {

void ClosePair(int fds[2]) {
  if (fds[0] >= 0) ::close(fds[0]);
  if (fds[1] >= 0) ::close(fds[1]);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           Input input) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    const int error = errno;
    ClosePair(in);
    ClosePair(out);
    throw std::system_error(error, std::generic_category(), "pipe for " + program);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  switch (input) {
    case Input::kPipe:
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
      break;
    case Input::kDevNull:
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      break;
    case Input::kClosed:
      posix_spawn_file_actions_addclose(&actions, STDIN_FILENO);
      break;
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

  std::vector<std::string> storage;
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    throw std::system_error(rc, std::generic_category(), "posix_spawn " + program);
  }
  input_ = in[1];
  output_ = out[0];
  if (input != Input::kPipe) CloseInput();
}

ChildProcess::~ChildProcess() {
  CloseInput();
  if (!reaped_ && pid_ > 0) Kill(SIGKILL);
  if (output_ >= 0) ::close(output_);
}

bool ChildProcess::FillBuffer(int timeoutMs) {
  pollfd fd{output_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&fd, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char chunk[512];
  ssize_t got;
  do {
    got = ::read(output_, chunk, sizeof chunk);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  buffer_.append(chunk, static_cast<std::size_t>(got));
  return true;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !FillBuffer(static_cast<int>(left.count()))) return std::nullopt;
  }
}

bool ChildProcess::HasLine() {
  while (buffer_.find('\n') == std::string::npos) {
    if (!FillBuffer(0)) return false;
  }
  return true;
}

void ChildProcess::WriteLine(const std::string& line) {
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = ::write(input_, data.data() + done, data.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write to child");
    }
    done += static_cast<std::size_t>(wrote);
  }
}

void ChildProcess::CloseInput() noexcept {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void ChildProcess::Kill(int signal) {
  if (reaped_) return;
  ::kill(pid_, signal);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

void ChildProcess::Signal(int signal) {
  if (!reaped_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return status;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace Norv::Testing
