// The reference application launcher: serves the endpoint
// "ApplicationLauncher" of a process and starts the three companion tools.
//
// LauncherService is the contract object. LogOn remembers the project path,
// user and author (and the password) for the tools started after it; each
// launch starts the tool's configured command and answers once the program
// runs. A tool gets the log-on through its environment (NORV_PROJECT_PATH,
// NORV_USER, NORV_AUTHOR, beside NORV_TOOL and NORV_LAUNCHER_PID) and the
// password on its standard input, never in its arguments or environment.
// Started tools are reaped when they end; they may outlive the launcher.
//
// ReferenceLauncher hosts a LauncherService: a host application runs one in
// its own process so that the Halvane bridge finds it, and
// `norvctl serve launcher` runs one for a given process id.
//
// Thread-safety: LauncherService may be called from any number of threads at
// once. A ReferenceLauncher is started and stopped from one thread at a time.
#ifndef NORV_SERVERS_LAUNCHER_REFERENCE_LAUNCHER_H_
#define NORV_SERVERS_LAUNCHER_REFERENCE_LAUNCHER_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Mutex.h"
#include "services/IApplicationLauncher.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::Servers {

namespace internal {
class ChildReaper;
}  // namespace internal

enum class CompanionTool { kTrasko = 0, kWendal = 1, kOrbisk = 2 };

// "Trasko", "Wendal", "Orbisk".
std::string_view CompanionToolName(CompanionTool tool) noexcept;

// A tool's command: the program (a path when it holds a slash, otherwise
// looked up in PATH) and its arguments. Empty means "not configured".
using Command = std::vector<std::string>;

// Splits a command line at spaces and tabs. There is no quoting: a program or
// argument containing blanks needs a Command built directly.
Command SplitCommand(std::string_view line);

// A launch or log-on the launcher refuses; the message names the launcher's
// process id, the tool and the reason.
class LauncherError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  ~LauncherError() override;
};

class LauncherService final : public ServiceModel::Contracts::Service::IApplicationLauncher {
 public:
  // The most bytes of password (UTF-8) a tool can be handed.
  static const std::size_t kMaxPasswordBytes;

  // `pid` is only named in messages and handed to the tools.
  LauncherService(std::int32_t pid, Command trasko, Command wendal, Command orbisk);
  ~LauncherService() override;
  LauncherService(const LauncherService&) = delete;
  LauncherService& operator=(const LauncherService&) = delete;

  // Replaces the remembered log-on. Refuses (LauncherError) a password longer
  // than kMaxPasswordBytes or a project path, user or author holding U+0000,
  // which an environment variable cannot carry; a refused log-on leaves the
  // launcher logged off, so no tool starts under the previous user.
  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override;
  void LaunchTrasko() override;
  void LaunchWendal() override;
  void LaunchOrbisk() override;

  // Starts the tool; returns once its program runs. Raises LauncherError when
  // the tool is not configured or cannot be started.
  void Launch(CompanionTool tool);

  // Tools started and not yet ended.
  std::size_t RunningTools() const;
  // Waits until every tool started has ended and been reaped; false on
  // time-out.
  bool WaitUntilNoRunningTools(std::chrono::milliseconds timeout) const;

 private:
  struct LogOnContext;

  std::string Where() const;

  const std::int32_t pid_;
  const std::array<Command, 3> commands_;
  mutable Base::Mutex mutex_;
  std::unique_ptr<LogOnContext> logOn_ ABSL_GUARDED_BY(mutex_);  // null: logged off
  std::unique_ptr<internal::ChildReaper> reaper_;
};

struct ReferenceLauncherOptions {
  // The process whose endpoint is served; 0 means the current process.
  std::int32_t pid = 0;
  Command trasko;
  Command wendal;
  Command orbisk;
};

class ReferenceLauncher {
 public:
  static constexpr std::string_view kEndpoint = "ApplicationLauncher";

  explicit ReferenceLauncher(ReferenceLauncherOptions options);
  // Stops serving (swallowing a failure to close); tools keep running.
  ~ReferenceLauncher();
  ReferenceLauncher(const ReferenceLauncher&) = delete;
  ReferenceLauncher& operator=(const ReferenceLauncher&) = delete;

  // Serves the endpoint; raises what the host raises (for instance when
  // another live host serves it). Starting a started launcher does nothing.
  void Start();
  // Stops serving and removes the socket; raises after that if closing
  // failed. Stopping a stopped launcher does nothing.
  void Stop();
  bool IsServing() const noexcept { return host_ != nullptr; }

  std::int32_t Pid() const noexcept { return pid_; }
  LauncherService& Service() noexcept { return *service_; }

 private:
  const std::int32_t pid_;
  std::shared_ptr<LauncherService> service_;
  std::unique_ptr<ServiceModel::NamedPipeServiceHost> host_;
};

}  // namespace Norv::Servers

#endif  // NORV_SERVERS_LAUNCHER_REFERENCE_LAUNCHER_H_
