#pragma once
// SignalsBlocked: asynchronous signals held off this thread for a scope.

#include <csignal>
#include <pthread.h>

namespace velkor::rt {

// Blocks every asynchronous signal on this thread while it lives; a wait
// given previous() as its mask unblocks them atomically (see WakeFd::sleep).
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) sigdelset(&all, synchronous);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  const sigset_t* previous() const { return &previous_; }

 private:
  sigset_t previous_;
};

}  // namespace velkor::rt
