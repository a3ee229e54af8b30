// How norvctl's long-running commands (the serve commands, `shutdown
// subscribe` and `shutdown host`) learn that they are asked to stop: SIGINT
// and SIGTERM are blocked in the constructing thread, and so in every thread
// it starts afterwards (gRPC's among them), and received through a signalfd,
// so nothing runs in a signal handler and no other thread takes the signal.
// Construct it before the first gRPC call; on destruction the descriptor is
// closed and the thread's signal mask restored. One thread uses an object.
#ifndef NORV_TOOLS_NORVCTL_STOPSIGNALS_H_
#define NORV_TOOLS_NORVCTL_STOPSIGNALS_H_

#include <signal.h>

#include <string>

#include "platform/base/UniqueFd.h"

namespace Norv::Ctl {

class StopSignals {
 public:
  // `where` names the command in error messages, e.g. "norvctl serve launcher".
  explicit StopSignals(std::string where);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable once a signal is pending, for poll() beside other descriptors.
  int Descriptor() const noexcept { return fd_.Get(); }

  // Waits for SIGINT or SIGTERM (at once when poll() found the descriptor
  // readable) and returns its name.
  std::string Wait() const;

 private:
  std::string where_;
  sigset_t signals_;
  sigset_t previous_;
  Platform::internal::UniqueFd fd_;
};

}  // namespace Norv::Ctl

#endif  // NORV_TOOLS_NORVCTL_STOPSIGNALS_H_
