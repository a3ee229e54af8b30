// Reading secrets at the terminal: echo switched off while a password is
// typed, and a string wiped when it goes out of scope. Single-threaded use,
// like the rest of the tool.
#ifndef NORV_TOOLS_NORVCTL_SECRETS_H_
#define NORV_TOOLS_NORVCTL_SECRETS_H_

#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace Norv::Ctl {

// Turns off echo on a terminal for its lifetime; does nothing otherwise.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::isatty(fd_) && ::tcgetattr(fd_, &saved_) == 0) {
      termios quiet = saved_;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// A string wiped when it goes out of scope, so that a password does not
// linger in freed memory.
struct SecretString {
  std::string text;
  ~SecretString() { ::explicit_bzero(text.data(), text.size()); }
};

}  // namespace Norv::Ctl

#endif  // NORV_TOOLS_NORVCTL_SECRETS_H_
