// norvctl shutdown: both sides of the shutdown coordination service.
//   subscribe  a client application: subscribes with a key to the service of
//              process --pid and answers each request as told, printing it,
//              until forced, SIGINT or SIGTERM (or, if asked, the end of its
//              standard input).
//   host       the host application: starts the service and takes commands
//              (request, force, stop, start PID, quit) from standard input,
//              until quit, SIGINT or SIGTERM (or, if asked, the end of input),
//              and stops the service on its way out, whichever ended it.
//
// Neither leaves because its input ended unless asked to: started from a
// script's background, under a service manager or by a program that closes
// its input, standard input is /dev/null or closed from the start.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "base/Mutex.h"
#include "norv/interop/ShutdownFactory.h"
#include "platform/base/UniqueFd.h"
#include "services/ShutdownClient.h"
#include "tools/norvctl/Commands.h"
#include "tools/norvctl/StopSignals.h"

namespace Norv::Ctl {
namespace {

using Norv::Platform::internal::UniqueFd;
using Norv::ServiceModel::Interop::ShutdownFactory;

// One line at a time on stdout, flushed, so that a script reading the tool's
// output sees each answer as it happens.
void PrintLine(const std::string& line) {
  static Base::Mutex mutex;
  Base::MutexLock lock(&mutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Both ends of a pipe, closed on scope exit.
class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "norvctl shutdown: pipe");
    }
    readEnd_.Reset(fds[0]);
    writeEnd_.Reset(fds[1]);
  }
  int ReadEnd() const noexcept { return readEnd_.Get(); }
  void Signal() const noexcept {
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(writeEnd_.Get(), &byte, 1);
  }

 private:
  UniqueFd readEnd_;
  UniqueFd writeEnd_;
};

enum class Answer { kYes, kNo, kFail };

Answer ParseAnswer(const std::string& text) {
  if (text == "yes") return Answer::kYes;
  if (text == "no") return Answer::kNo;
  if (text == "fail") return Answer::kFail;
  throw std::invalid_argument("--answer must be yes, no or fail, not '" + text + "'");
}

// poll() on `fds`, retried after EINTR.
void Poll(pollfd* fds, nfds_t count, const char* where) {
  while (::poll(fds, count, -1) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), where);
  }
}

enum class Stop { kForced, kSignal, kInputEnded, kSessionEnded };

// Blocks until `forced` or `ended` is signalled, a stop signal arrives or,
// with `untilInputEnds`, standard input reaches its end (or is not open).
// Lines read meanwhile are ignored.
Stop WaitForStop(const Pipe& forced, const Pipe& ended, const StopSignals& signals,
                 bool untilInputEnds) {
  pollfd fds[4] = {{forced.ReadEnd(), POLLIN, 0},
                   {signals.Descriptor(), POLLIN, 0},
                   {ended.ReadEnd(), POLLIN, 0},
                   {untilInputEnds ? STDIN_FILENO : -1, POLLIN, 0}};
  char buffer[256];
  for (;;) {
    Poll(fds, 4, "norvctl shutdown subscribe: poll");
    if (fds[0].revents != 0) return Stop::kForced;
    if (fds[1].revents != 0) {
      PrintLine("stopped on " + signals.Wait());
      return Stop::kSignal;
    }
    if (fds[2].revents != 0) return Stop::kSessionEnded;
    if (fds[3].revents & POLLNVAL) return Stop::kInputEnded;
    if (fds[3].revents != 0) {
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return Stop::kInputEnded;
    }
  }
}

// The exit status of a subscriber whose session the service's side ended.
constexpr int kSessionEndedStatus = 3;

// What the end handler leaves for the waiting thread: it runs on a
// component thread, which must not print while the main thread may.
struct SessionEnd {
  Pipe signal;
  Base::Mutex mu;
  std::string message ABSL_GUARDED_BY(mu);
};

// Subscribes again and again with a bounded back-off, until a host of `pid`
// listens and takes the subscription, or a stop signal arrives (then null).
// Each attempt fails at once while nobody listens on the socket, so the
// waiting is all in poll(), never a busy loop.
template <class Subscribe>
std::unique_ptr<ServiceModel::ShutdownClient> Resubscribe(const StopSignals& signals,
                                                          Subscribe subscribe) {
  constexpr int kFirstDelayMs = 50;
  constexpr int kLongestDelayMs = 1000;
  int delayMs = kFirstDelayMs;
  std::string lastError;
  for (;;) {
    pollfd fd{signals.Descriptor(), POLLIN, 0};
    int ready = ::poll(&fd, 1, delayMs);
    if (ready < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "norvctl shutdown subscribe: poll");
    }
    if (ready > 0) {
      PrintLine("stopped on " + signals.Wait());
      return nullptr;
    }
    try {
      return subscribe();
    } catch (const std::exception& e) {
      if (lastError != e.what()) {
        lastError = e.what();
        PrintLine("waiting: " + lastError);
      }
    }
    delayMs = std::min(delayMs * 2, kLongestDelayMs);
  }
}

void RunSubscribe(int pid, int key, Answer answer, bool untilInputEnds, bool reconnect) {
  StopSignals signals("norvctl shutdown");
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
  auto ended = std::make_shared<SessionEnd>();
  auto subscribe = [&] {
    auto client = std::make_unique<ServiceModel::ShutdownClient>(
        pid, key, callback,
        [ended](ServiceModel::ShutdownSessionEnd reason, const std::string& message) {
          {
            Base::MutexLock lock(&ended->mu);
            ended->message = std::string(ServiceModel::Describe(reason)) + ": " + message;
          }
          ended->signal.Signal();
        });
    PrintLine("subscribed: process " + std::to_string(pid) + ", endpoint Shutdown, key " +
              std::to_string(key));
    return client;
  };
  std::unique_ptr<ServiceModel::ShutdownClient> client = subscribe();
  for (;;) {
    Stop stop = WaitForStop(*forced, ended->signal, signals, untilInputEnds);
    if (stop != Stop::kSessionEnded) break;
    char byte;
    [[maybe_unused]] ssize_t got = ::read(ended->signal.ReadEnd(), &byte, 1);
    {
      Base::MutexLock lock(&ended->mu);
      PrintLine("ended: " + ended->message);
    }
    client.reset();
    if (!reconnect) {
      ExitStatus() = kSessionEndedStatus;
      return;
    }
    client = Resubscribe(signals, subscribe);
    if (client == nullptr) return;
  }
  client->Close();
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

// Stops the service, so that subscribers see their sessions end and nothing
// is left in the endpoint directory.
void StopOnLeaving() {
  try {
    ShutdownFactory::StopShutdownService();
  } catch (const std::exception& e) {
    PrintLine(std::string("error: ") + e.what());
  }
}

// Runs the commands of standard input as they arrive, until quit, a stop
// signal or, with `untilInputEnds`, the end of input; without it the service
// goes on after the input ends, until a signal. Returns the signal's name, or
// the empty string.
std::string RunHostCommands(int pid, bool untilInputEnds) {
  StopSignals signals("norvctl shutdown");
  ShutdownFactory::StartShutdownService(pid);
  PrintLine("start: process " + std::to_string(pid));
  pollfd fds[2] = {{signals.Descriptor(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  std::string pending;
  char buffer[4096];
  for (;;) {
    Poll(fds, 2, "norvctl shutdown host: poll");
    if (fds[0].revents != 0) {
      return signals.Wait();
    }
    if (fds[1].revents == 0) continue;
    ssize_t got = 0;
    if ((fds[1].revents & POLLNVAL) == 0) {
      got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    }
    if (got > 0) {
      pending.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!RunHostCommand(line)) return {};
      }
      continue;
    }
    // The input ended (or cannot be read): its last line may lack a newline.
    if (!pending.empty() && !RunHostCommand(pending)) return {};
    pending.clear();
    if (untilInputEnds) return {};
    fds[1].fd = -1;  // poll() skips it from now on
  }
}

// Whichever ends the commands, the service is stopped on the way out, as
// the tool leaves.
void RunHost(int pid, bool untilInputEnds) {
  const std::string signal = RunHostCommands(pid, untilInputEnds);
  StopOnLeaving();
  if (!signal.empty()) PrintLine("stopped on " + signal);
}

}  // namespace

void AddShutdownCommands(CLI::App& app) {
  CLI::App& shutdown = GetOrAddSubcommand(
      app, "shutdown", "Shutdown coordination: subscribe as a client, or host the service");

  auto subscribe = std::make_shared<int[]>(2);  // pid, key
  auto answer = std::make_shared<std::string>("yes");
  auto subscriberUntilInputEnds = std::make_shared<bool>(false);
  auto reconnect = std::make_shared<bool>(false);
  CLI::App* sub = shutdown.add_subcommand(
      "subscribe",
      "Subscribe to the shutdown service of process --pid under --key and answer every request "
      "with --answer, printing each request. Runs until the service forces a shutdown or the "
      "process gets SIGINT or SIGTERM (then it unsubscribes and exits 0), or is killed; standard "
      "input is not read unless --until-stdin-closes is given. When the service's side ends the "
      "session (the host closed, its process died, the session broke) it prints 'ended: ' and "
      "the reason and exits 3, or with --reconnect waits for a host of --pid to listen again and "
      "subscribes anew under the same key.");
  sub->add_option("--pid", subscribe[0], "Process id whose endpoint Shutdown to reach")->required();
  sub->add_option("--key", subscribe[1], "Subscription key")->required();
  sub->add_option("--answer", *answer, "Answer to each request: yes, no or fail (raise)")
      ->check(CLI::IsMember({"yes", "no", "fail"}));
  sub->add_flag("--until-stdin-closes", *subscriberUntilInputEnds,
                "Also unsubscribe and exit 0 when standard input ends (for a parent that ends "
                "the subscriber by closing its input)");
  sub->add_flag("--reconnect", *reconnect,
                "When the session ends, retry with a growing pause (50 ms up to 1 s) until a host "
                "of --pid listens again, then subscribe under the same key");
  sub->callback([subscribe, answer, subscriberUntilInputEnds, reconnect] {
    Guarded([&] {
      RunSubscribe(subscribe[0], subscribe[1], ParseAnswer(*answer), *subscriberUntilInputEnds,
                   *reconnect);
    });
  });

  auto hostPid = std::make_shared<int>(static_cast<int>(::getpid()));
  auto hostUntilInputEnds = std::make_shared<bool>(false);
  CLI::App* host = shutdown.add_subcommand(
      "host",
      "Start the shutdown service for process --pid (default: this process), then read commands "
      "from standard input, one per line: request, force, stop, start PID, quit. Prints one "
      "answer line per command. Runs until quit, SIGINT or SIGTERM, then stops the service and "
      "exits 0; when the input ends it goes on serving unless --until-stdin-closes is given.");
  host->add_option("--pid", *hostPid, "Process id whose endpoint Shutdown to serve");
  host->add_flag("--until-stdin-closes", *hostUntilInputEnds,
                 "Exit 0 when standard input ends, as after quit");
  host->callback(
      [hostPid, hostUntilInputEnds] { Guarded([&] { RunHost(*hostPid, *hostUntilInputEnds); }); });
}

}  // namespace Norv::Ctl
