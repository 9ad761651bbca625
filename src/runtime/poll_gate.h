#pragma once
// PollGate: who may read the poller's events, the worker threads or the
// thread that runs the loop.
//
// While a run is in progress the loop's thread owns the poller: it waits in
// the epoll set itself when it has nothing to do, and reads it between
// callbacks, so no other thread is woken on the way from an event to its
// callback. The workers read it at all other times. Ownership is strict:
// taking it waits until no worker is still reading, so that nothing but the
// owner ever takes an event (and with it a wake-up meant for the owner).
//
// A worker whose pump fires while the loop owns the poller leaves its wait
// unarmed and says so; whoever hands ownership back re-arms it.
//
// The watchdog may take the poller from the loop's thread while that
// thread runs one long callback, never while it sleeps in the epoll set:
// a worker harvesting then could take the wake-up meant for the sleeper.

#include <atomic>
#include <cstdint>
#include <sched.h>

namespace velkor::rt {

class PollGate {
 public:
  // A worker about to read the poller. False while the loop owns it; the
  // worker's pump is then marked parked and must not re-arm itself.
  bool worker_enter() noexcept {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    for (;;) {
      if (state & loop_owns) {
        if (state_.compare_exchange_weak(state, state | pump_parked, std::memory_order_acq_rel)) {
          return false;
        }
      } else if (state_.compare_exchange_weak(state, state + one_reader,
                                              std::memory_order_acq_rel)) {
        return true;
      }
    }
  }
  void worker_leave() noexcept { state_.fetch_sub(one_reader, std::memory_order_acq_rel); }

  // The loop's thread takes the poller, once every worker has stopped
  // reading it.
  void loop_take() noexcept {
    std::uint32_t state = state_.fetch_or(loop_owns, std::memory_order_acq_rel) | loop_owns;
    while (state >= one_reader) {
      sched_yield();
      state = state_.load(std::memory_order_acquire);
    }
  }

  // Hands the poller back to the workers. True when their pump was left
  // parked: the caller must then re-arm it.
  [[nodiscard]] bool loop_release() noexcept {
    const std::uint32_t before = state_.exchange(0, std::memory_order_acq_rel);
    return (before & pump_parked) != 0;
  }

  bool loop_owns_poller() const noexcept {
    return (state_.load(std::memory_order_acquire) & loop_owns) != 0;
  }

  // The loop's thread, around its sleep in the epoll set. Takes the poller
  // back first if the watchdog took it meanwhile.
  void loop_begin_sleep() noexcept {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    for (;;) {
      if (!(state & loop_owns)) {
        loop_take();
        state = state_.load(std::memory_order_acquire);
      } else if (state_.compare_exchange_weak(state, state | loop_sleeping,
                                              std::memory_order_acq_rel)) {
        return;
      }
    }
  }
  void loop_end_sleep() noexcept { state_.fetch_and(~loop_sleeping, std::memory_order_acq_rel); }

  // The watchdog takes the poller for the workers, unless the loop's thread
  // sleeps (or does not own it). True when taken; `resume_pump` then says
  // whether the pump was left parked and must be re-armed.
  bool watchdog_take(bool& resume_pump) noexcept {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    while ((state & loop_owns) && !(state & loop_sleeping)) {
      if (state_.compare_exchange_weak(state, state & ~(loop_owns | pump_parked),
                                       std::memory_order_acq_rel)) {
        resume_pump = (state & pump_parked) != 0;
        return true;
      }
    }
    return false;
  }

  bool loop_sleeps() const noexcept {
    return (state_.load(std::memory_order_acquire) & loop_sleeping) != 0;
  }

 private:
  static constexpr std::uint32_t loop_owns = 1;
  static constexpr std::uint32_t pump_parked = 2;
  static constexpr std::uint32_t loop_sleeping = 4;
  static constexpr std::uint32_t one_reader = 8;  // the rest counts reading workers
  std::atomic<std::uint32_t> state_{0};
};

}  // namespace velkor::rt
