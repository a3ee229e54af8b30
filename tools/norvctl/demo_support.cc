#include "tools/norvctl/demo_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace Norv::Ctl::Demo {

namespace {

std::string Padded(const std::string& text, int width) {
  std::string cell = text;
  if (static_cast<int>(cell.size()) < width) cell.append(width - cell.size(), ' ');
  return cell + "  ";
}

std::system_error SystemError(const std::string& what) {
  return std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void Table::Section(const std::string& title) {
  std::fprintf(out_, "\n%s\n", title.c_str());
  std::fprintf(out_, "  %s%s%s\n", Padded("Call", kCallWidth).c_str(),
               Padded("Sent", kSentWidth).c_str(), "Got");
  std::fprintf(out_, "  %s%s%s\n", Padded(std::string(kCallWidth, '-'), kCallWidth).c_str(),
               Padded(std::string(kSentWidth, '-'), kSentWidth).c_str(),
               std::string(30, '-').c_str());
  std::fflush(out_);
}

void Table::Row(const std::string& call, const std::vector<std::string>& sentCells,
                const std::vector<std::string>& got) {
  std::vector<std::string> sent;
  for (const std::string& cell : sentCells) {
    std::string rest = cell;
    while (static_cast<int>(rest.size()) > kSentWidth) {
      std::size_t cut = rest.rfind(", ", kSentWidth - 1);
      if (cut == std::string::npos || cut == 0) break;
      sent.push_back(rest.substr(0, cut + 1));
      rest.erase(0, cut + 2);
    }
    sent.push_back(rest);
  }
  std::size_t lines = std::max<std::size_t>({1, sent.size(), got.size()});
  for (std::size_t i = 0; i < lines; ++i) {
    std::string line = "  " + Padded(i == 0 ? call : "", kCallWidth) +
                       Padded(i < sent.size() ? sent[i] : "", kSentWidth) +
                       (i < got.size() ? got[i] : "");
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::fprintf(out_, "%s\n", line.c_str());
  }
  std::fflush(out_);
}

void Table::Note(const std::string& text) {
  std::fprintf(out_, "  %s%s%s\n", Padded("", kCallWidth).c_str(), Padded("", kSentWidth).c_str(),
               text.c_str());
  std::fflush(out_);
}

ScratchDir::ScratchDir(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (tmp != nullptr && *tmp != '\0' ? std::string(tmp) : std::string("/tmp")) +
                        "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw SystemError("cannot create a temporary directory " + pattern);
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

SubscriberProcess::SubscriberProcess(const std::string& program, int pid, int key,
                                     const std::string& answer)
    : key_(key), answer_(answer) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw SystemError("norvctl demo: pipe");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    int error = errno;
    ::close(in[0]);
    ::close(in[1]);
    errno = error;
    throw SystemError("norvctl demo: pipe");
  }
  input_ = in[1];
  output_ = out[0];

  std::vector<std::string> args = {
      program, "shutdown",          "subscribe", "--pid", std::to_string(pid),
      "--key", std::to_string(key), "--answer",  answer,  "--until-stdin-closes"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 onto 0 and 1 clears close-on-exec there; every other descriptor of
  // the demo is close-on-exec and stays behind.
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  int rc = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(input_);
    ::close(output_);
    throw std::system_error(
        rc, std::generic_category(),
        "cannot start the subscriber " + program + " (key " + std::to_string(key) + ")");
  }
}

SubscriberProcess::~SubscriberProcess() {
  if (!reaped_) {
    CloseInput();
    try {
      Wait(std::chrono::seconds(10));
    } catch (const std::exception&) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      reaped_ = true;
    }
  }
  if (output_ >= 0) ::close(output_);
}

std::string SubscriberProcess::Describe() const {
  return "subscriber process " + std::to_string(pid_) + " (key " + std::to_string(key_) +
         ", answers " + answer_ + ")";
}

std::string SubscriberProcess::ReadLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw std::runtime_error(Describe() + " printed nothing within " +
                               std::to_string(timeout.count() / 1000) + " s");
    }
    pollfd fd = {output_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw SystemError("norvctl demo: poll");
    if (ready == 0) continue;
    char chunk[512];
    ssize_t got = ::read(output_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw SystemError("reading the output of " + Describe());
    if (got == 0) throw std::runtime_error(Describe() + " ended its output early");
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

void SubscriberProcess::CloseInput() noexcept {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
}

int SubscriberProcess::Wait(std::chrono::milliseconds timeout) {
  // The demo has no other use for SIGCHLD, so it polls: a few milliseconds
  // between looks cost nothing next to the deadline.
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) throw SystemError("waiting for " + Describe());
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error(Describe() + " has not ended within " +
                               std::to_string(timeout.count() / 1000) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reaped_ = true;
  if (WIFSIGNALED(status)) {
    throw std::runtime_error(Describe() + " was ended by signal " +
                             std::to_string(WTERMSIG(status)));
  }
  return WEXITSTATUS(status);
}

std::filesystem::path SelfExecutable() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    throw std::system_error(error, "norvctl demo: cannot read /proc/self/exe");
  }
  return self;
}

std::filesystem::path FindCompanionProgram() {
  std::filesystem::path dir = SelfExecutable().parent_path();
  const std::filesystem::path candidates[] = {
      dir / "norv-companion-demo",
      dir.parent_path().parent_path() / "servers" / "launcher" / "norv-companion-demo",
  };
  for (const auto& candidate : candidates) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.lexically_normal();
  }
  throw std::runtime_error("cannot find the companion program norv-companion-demo: looked at " +
                           candidates[0].string() + " and " +
                           candidates[1].lexically_normal().string());
}

std::string FormatNumber(double value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace Norv::Ctl::Demo
