#pragma once
// WakePipe: a non-blocking pipe whose read end sits in an epoll set, for a
// writer that can only write bytes (the interpreter's signal wake-up
// descriptor: its C-level handler writes one byte per signal, on whichever
// thread the signal lands).

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "runtime/os_error.h"

namespace velkor::rt {

class WakePipe {
 public:
  // Throws RuntimeBuildError with the OS error text.
  WakePipe() {
    if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) throw RuntimeBuildError(os_error_text(errno));
  }
  ~WakePipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int read_fd() const noexcept { return fds_[0]; }
  int write_fd() const noexcept { return fds_[1]; }

 private:
  int fds_[2];
};

}  // namespace velkor::rt
