// norvctl shutdown: both sides of the shutdown coordination service.
//   subscribe  a client application: subscribes with a key to the service of
//              process --pid and answers each request as told, printing it.
//   host       the host application: starts the service and takes commands
//              (request, force, stop, start PID, quit) from standard input.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "norv/interop/ShutdownFactory.h"
#include "services/ShutdownClient.h"
#include "tools/norvctl/Commands.h"

namespace Norv::Ctl {
namespace {

using Norv::ServiceModel::Interop::ShutdownFactory;

// One line at a time on stdout, flushed, so that a script reading the tool's
// output sees each answer as it happens.
void PrintLine(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Both ends of a pipe, closed on scope exit.
class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "norvctl shutdown: pipe");
    }
  }
  ~Pipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int ReadEnd() const noexcept { return fds_[0]; }
  void Signal() const noexcept {
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(fds_[1], &byte, 1);
  }

 private:
  int fds_[2];
};

enum class Answer { kYes, kNo, kFail };

Answer ParseAnswer(const std::string& text) {
  if (text == "yes") return Answer::kYes;
  if (text == "no") return Answer::kNo;
  if (text == "fail") return Answer::kFail;
  throw std::invalid_argument("--answer must be yes, no or fail, not '" + text + "'");
}

// Blocks until `forced` is signalled or standard input reaches its end (or
// is not open). Lines read meanwhile are ignored.
void WaitForForceOrEndOfInput(const Pipe& forced) {
  pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {forced.ReadEnd(), POLLIN, 0}};
  char buffer[256];
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "norvctl shutdown subscribe: poll");
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLNVAL) return;
    if (fds[0].revents != 0) {
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
    }
  }
}

void RunSubscribe(int pid, int key, Answer answer) {
  // Shared with the callback object, which the session may hold a little
  // longer than this function runs.
  auto forced = std::make_shared<Pipe>();
  auto callback = std::make_shared<ServiceModel::ShutdownCallback>(
      [answer] {
        switch (answer) {
          case Answer::kYes:
            PrintLine("request: answered yes");
            return true;
          case Answer::kNo:
            PrintLine("request: answered no");
            return false;
          case Answer::kFail:
            break;
        }
        PrintLine("request: failed");
        throw std::runtime_error("norvctl shutdown subscribe was told to fail (--answer fail)");
      },
      [forced] {
        PrintLine("force: shutting down");
        forced->Signal();
      });
  ServiceModel::ShutdownClient client(pid, key, callback);
  PrintLine("subscribed: process " + std::to_string(pid) + ", endpoint Shutdown, key " +
            std::to_string(key));
  WaitForForceOrEndOfInput(*forced);
  client.Close();
}

// Runs one command line of `norvctl shutdown host`; false on quit.
bool RunHostCommand(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  if (!(words >> command)) return true;
  if (command == "quit") return false;
  try {
    if (command == "request") {
      PrintLine(ShutdownFactory::RequestStopShutdownService() ? "request: true" : "request: false");
    } else if (command == "force") {
      ShutdownFactory::ForceStopShutdownService();
      PrintLine("force: done");
    } else if (command == "stop") {
      ShutdownFactory::StopShutdownService();
      PrintLine("stop: done");
    } else if (command == "start") {
      int pid = 0;
      std::string rest;
      if (!(words >> pid) || (words >> rest)) {
        PrintLine("error: start takes one process id, as in 'start 4242'");
        return true;
      }
      ShutdownFactory::StartShutdownService(pid);
      PrintLine("start: process " + std::to_string(pid));
    } else {
      PrintLine("error: unknown command '" + command +
                "' (expected request, force, stop, start PID or quit)");
    }
  } catch (const std::exception& e) {
    PrintLine(std::string("error: ") + e.what());
  }
  return true;
}

void RunHost(int pid) {
  ShutdownFactory::StartShutdownService(pid);
  PrintLine("start: process " + std::to_string(pid));
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!RunHostCommand(line)) break;
  }
  // The service is left running: an open host listens until the process ends.
}

}  // namespace

void AddShutdownCommands(CLI::App& app) {
  CLI::App& shutdown = GetOrAddSubcommand(
      app, "shutdown", "Shutdown coordination: subscribe as a client, or host the service");

  auto subscribe = std::make_shared<int[]>(2);  // pid, key
  auto answer = std::make_shared<std::string>("yes");
  CLI::App* sub = shutdown.add_subcommand(
      "subscribe",
      "Subscribe to the shutdown service of process --pid under --key and answer every request "
      "with --answer, printing each request. Runs until the service forces a shutdown, standard "
      "input ends, or the process is killed.");
  sub->add_option("--pid", subscribe[0], "Process id whose endpoint Shutdown to reach")->required();
  sub->add_option("--key", subscribe[1], "Subscription key")->required();
  sub->add_option("--answer", *answer, "Answer to each request: yes, no or fail (raise)")
      ->check(CLI::IsMember({"yes", "no", "fail"}));
  sub->callback([subscribe, answer] {
    Guarded([&] { RunSubscribe(subscribe[0], subscribe[1], ParseAnswer(*answer)); });
  });

  auto hostPid = std::make_shared<int>(static_cast<int>(::getpid()));
  CLI::App* host = shutdown.add_subcommand(
      "host",
      "Start the shutdown service for process --pid (default: this process), then read commands "
      "from standard input, one per line: request, force, stop, start PID, quit. Prints one "
      "answer line per command. The service runs until quit or the end of input.");
  host->add_option("--pid", *hostPid, "Process id whose endpoint Shutdown to serve");
  host->callback([hostPid] { Guarded([&] { RunHost(*hostPid); }); });
}

}  // namespace Norv::Ctl
