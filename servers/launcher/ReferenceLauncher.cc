#include "servers/launcher/ReferenceLauncher.h"

#include <string.h>
#include <unistd.h>

#include <system_error>
#include <utility>

#include "base/SwallowFailures.h"
#include "platform/base/Cancellation.h"
#include "servers/launcher/ChildReaper.h"
#include "servers/launcher/Spawn.h"

namespace Norv::Servers {

using ServiceModel::NamedPipeServiceHost;
using ServiceModel::TypeOf;
using ServiceModel::Contracts::Service::IApplicationLauncher;

namespace {

constexpr std::array<std::string_view, 3> kToolNames = {"Trasko", "Wendal", "Orbisk"};

// Variables the launcher sets itself; inherited values are dropped so that a
// tool never sees a log-on other than the launcher's own.
const std::vector<std::string>& OwnVariables() {
  static const std::vector<std::string> names = {"NORV_TOOL",         "NORV_LAUNCHER_PID",
                                                 "NORV_PROJECT_PATH", "NORV_USER",
                                                 "NORV_AUTHOR",       "NORV_PASSWORD"};
  return names;
}

void Wipe(std::string& secret) noexcept {
  ::explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

}  // namespace

std::string_view CompanionToolName(CompanionTool tool) noexcept {
  return kToolNames[static_cast<std::size_t>(tool)];
}

Command SplitCommand(std::string_view line) {
  Command command;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) command.emplace_back(line.substr(start, i - start));
  }
  return command;
}

LauncherError::~LauncherError() = default;

// What LogOn remembered, as the tools receive it (UTF-8).
struct LauncherService::LogOnContext {
  std::string projectPath;
  std::string user;
  std::string author;
  std::string password;
  ~LogOnContext() { Wipe(password); }
};

const std::size_t LauncherService::kMaxPasswordBytes = internal::kMaxStandardInput;

LauncherService::LauncherService(std::int32_t pid, Command trasko, Command wendal, Command orbisk)
    : pid_(pid),
      commands_{std::move(trasko), std::move(wendal), std::move(orbisk)},
      reaper_(std::make_unique<internal::ChildReaper>()) {}

LauncherService::~LauncherService() = default;

std::string LauncherService::Where() const { return "launcher of process " + std::to_string(pid_); }

void LauncherService::LogOn(const String& projectPath, const String& user, const String& password,
                            const String& author) {
  auto context = std::make_unique<LogOnContext>();
  context->password = password.ToUtf8();
  std::string refusal;
  if (context->password.size() > kMaxPasswordBytes) {
    refusal = "the password has " + std::to_string(context->password.size()) +
              " bytes, more than the " + std::to_string(kMaxPasswordBytes) +
              " a tool can be handed";
  }
  const std::pair<const String*, const char*> visible[] = {
      {&projectPath, "project path"}, {&user, "user name"}, {&author, "author"}};
  for (const auto& [value, what] : visible) {
    if (refusal.empty() && value->Units().find(u'\0') != std::u16string::npos) {
      refusal = std::string("the ") + what +
                " contains a NUL character, which a tool's environment cannot carry";
    }
  }
  context->projectPath = projectPath.ToUtf8();
  context->user = user.ToUtf8();
  context->author = author.ToUtf8();
  if (!refusal.empty()) context.reset();
  {
    Base::MutexLock lock(&mutex_);
    logOn_.swap(context);
  }
  // `context` now holds the previous log-on, wiped as it goes.
  if (!refusal.empty()) throw LauncherError(Where() + ": LogOn refused: " + refusal);
}

void LauncherService::LaunchTrasko() { Launch(CompanionTool::kTrasko); }
void LauncherService::LaunchWendal() { Launch(CompanionTool::kWendal); }
void LauncherService::LaunchOrbisk() { Launch(CompanionTool::kOrbisk); }

void LauncherService::Launch(CompanionTool tool) {
  const std::string_view name = CompanionToolName(tool);
  const Command& command = commands_[static_cast<std::size_t>(tool)];
  if (command.empty()) {
    throw LauncherError(Where() + ": " + std::string(name) + " is not configured");
  }

  internal::SpawnRequest request;
  request.argv = command;
  request.environment = internal::InheritedEnvironment(OwnVariables());
  request.environment.push_back("NORV_TOOL=" + std::string(name));
  request.environment.push_back("NORV_LAUNCHER_PID=" + std::to_string(pid_));
  {
    Base::MutexLock lock(&mutex_);
    if (logOn_ != nullptr) {
      request.environment.push_back("NORV_PROJECT_PATH=" + logOn_->projectPath);
      request.environment.push_back("NORV_USER=" + logOn_->user);
      request.environment.push_back("NORV_AUTHOR=" + logOn_->author);
      request.standardInput = logOn_->password;
    }
  }

  const std::string failure =
      Where() + ": cannot start " + std::string(name) + " (" + command.front() + "): ";
  try {
    // The waiter comes first: a child must never run without one.
    internal::ChildReaper::Ticket ticket = reaper_->Prepare();
    pid_t child = internal::Spawn(request);
    ticket.Watch(child);
  } catch (const std::system_error& e) {
    Wipe(request.standardInput);
    throw LauncherError(failure + e.code().message());
  } catch (const std::exception& e) {
    Wipe(request.standardInput);
    throw LauncherError(failure + e.what());
  }
  Wipe(request.standardInput);
}

std::size_t LauncherService::RunningTools() const { return reaper_->Running(); }

bool LauncherService::WaitUntilNoRunningTools(std::chrono::milliseconds timeout) const {
  return reaper_->WaitUntilNoneRunning(timeout);
}

ReferenceLauncher::ReferenceLauncher(ReferenceLauncherOptions options)
    : pid_(options.pid != 0 ? options.pid : static_cast<std::int32_t>(::getpid())),
      service_(std::make_shared<LauncherService>(
          pid_, std::move(options.trasko), std::move(options.wendal), std::move(options.orbisk))) {}

ReferenceLauncher::~ReferenceLauncher() {
  // Close released everything before raising; nothing is left to do. A
  // cancellation of the thread waits until the destructor has returned:
  // unwinding out of it would end the process.
  Platform::internal::CancellationDeferred deferred;
  Base::SwallowFailures([this] { Stop(); });
}

void ReferenceLauncher::Start() {
  if (host_ != nullptr) return;
  auto host = std::make_unique<NamedPipeServiceHost>(service_, pid_, std::string(kEndpoint));
  host->AddServiceEndpoint(TypeOf<IApplicationLauncher>());
  host->Open();
  host_ = std::move(host);
}

void ReferenceLauncher::Stop() {
  std::unique_ptr<NamedPipeServiceHost> host = std::move(host_);
  if (host != nullptr) host->Close();
}

}  // namespace Norv::Servers
