#pragma once
// A wake-up descriptor (an eventfd) that one thread sleeps on and others
// signal. A descriptor rather than a futex so that the sleep can take a
// signal mask (ppoll): a caller that blocked signals before its last look
// at its condition is still interrupted by one that arrives before it
// sleeps.

#include <signal.h>

namespace velkor::rt {

class WakeFd {
 public:
  // Throws RuntimeBuildError with the OS error text.
  WakeFd();
  ~WakeFd();
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;

  // Makes the next (or current) sleep return. Async-signal-safe.
  void signal() noexcept;

  enum class Woke { signalled, interrupted };
  // Sleeps until signal() or a signal handler; with `mask`, the signal mask
  // during the sleep. Consumes the wake-up. Callers re-check their condition.
  Woke sleep(const sigset_t* mask = nullptr) noexcept;

  int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace velkor::rt
