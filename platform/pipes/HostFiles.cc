#include "platform/pipes/HostFiles.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

#include "base/Mutex.h"
#include "base/NoDestructor.h"

namespace Norv::ServiceModel::internal {

namespace {

struct Entry {
  pid_t boundBy;
  std::string socketPath;
  std::string lockPath;
};

struct Registry {
  // The process that installed the exit hook: in any other (a forked child)
  // the hook leaves at once, without taking mu, which a thread the child
  // does not have may have held at the fork.
  std::atomic<pid_t> hookOwner{0};
  Base::Mutex mu;
  std::uint64_t nextTicket ABSL_GUARDED_BY(mu) = 1;
  std::map<std::uint64_t, Entry> entries ABSL_GUARDED_BY(mu);
};

Registry& Files() {
  static Base::NoDestructor<Registry> registry;
  return *registry;
}

// Runs at normal process exit, among the atexit handlers and static
// destructors: removes the files, and nothing else.
void RemoveOpenHostFiles() {
  Registry& registry = Files();
  const pid_t self = ::getpid();
  if (registry.hookOwner.load(std::memory_order_acquire) != self) return;
  Base::MutexLock lock(&registry.mu);
  for (const auto& [ticket, entry] : registry.entries) {
    if (entry.boundBy != self) continue;
    ::unlink(entry.socketPath.c_str());
    ::unlink(entry.lockPath.c_str());
  }
}

}  // namespace

std::uint64_t RememberHostFiles(const std::string& socketPath, const std::string& lockPath) {
  Registry& registry = Files();
  static std::once_flag hook;
  std::call_once(hook, [&registry] {
    registry.hookOwner.store(::getpid(), std::memory_order_release);
    std::atexit(&RemoveOpenHostFiles);
  });
  Base::MutexLock lock(&registry.mu);
  const std::uint64_t ticket = registry.nextTicket++;
  registry.entries.emplace(ticket, Entry{::getpid(), socketPath, lockPath});
  return ticket;
}

void ForgetHostFiles(std::uint64_t ticket) noexcept {
  Registry& registry = Files();
  Base::MutexLock lock(&registry.mu);
  registry.entries.erase(ticket);
}

}  // namespace Norv::ServiceModel::internal
