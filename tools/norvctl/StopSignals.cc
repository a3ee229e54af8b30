#include "tools/norvctl/StopSignals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace Norv::Ctl {

StopSignals::StopSignals(std::string where) : where_(std::move(where)) {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  if (int rc = pthread_sigmask(SIG_BLOCK, &signals_, &previous_); rc != 0) {
    throw std::system_error(rc, std::generic_category(), where_ + ": blocking SIGINT and SIGTERM");
  }
  fd_.Reset(::signalfd(-1, &signals_, SFD_CLOEXEC));
  if (!fd_.Valid()) {
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    throw std::system_error(error, std::generic_category(),
                            where_ + ": opening a signalfd for SIGINT and SIGTERM");
  }
}

StopSignals::~StopSignals() {
  fd_.Reset();
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

std::string StopSignals::Wait() const {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t got = ::read(fd_.Get(), &info, sizeof info);
    if (got == static_cast<ssize_t>(sizeof info)) break;
    if (got < 0 && errno == EINTR) continue;
    throw std::system_error(errno, std::generic_category(),
                            where_ + ": waiting for SIGINT or SIGTERM");
  }
  return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace Norv::Ctl
