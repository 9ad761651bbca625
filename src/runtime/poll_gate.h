#pragma once
// PollGate: who may read the poller's events, the worker threads or the
// thread that runs the loop.
//
// While a run is in progress the loop's thread owns the poller: it waits in
// the epoll set itself when it has nothing to do, and reads it between
// callbacks, so no other thread is woken on the way from an event to its
// callback. The workers read it at all other times.
//
// Reading is exclusive. A worker reads (harvests and delivers) only between
// a worker_enter() that returned true and its worker_leave(). The loop's
// thread reads and delivers only between loop_begin_look() and
// loop_end_look(), or loop_begin_sleep() and loop_end_sleep(): each begin
// takes the poller (if the watchdog took it meanwhile) and marks the look or
// the sleep in one atomic step, then waits until no worker still reads. From
// then until the end, worker_enter() refuses (the loop owns the poller) and
// watchdog_take() refuses (the loop looks or sleeps), so no worker reads
// alongside the loop's thread and none takes an event, or with it a
// wake-up, that the loop's thread is after.
//
// A worker whose pump fires while the loop owns the poller leaves its wait
// unarmed and says so; whoever hands ownership back re-arms it.
//
// The watchdog takes the poller only while the loop's thread neither looks
// nor sleeps, and means to do so while that thread runs one long callback.
// It decides from a callback count read a moment before its take, so it may
// take the poller just after that callback ended, between two callbacks.
// That costs a worker's harvest and the loop's thread one take at its next
// look (a wait for that harvest to end, at worst), and nothing else: the
// loop's thread reads no event outside a look or a sleep, so none that a
// worker harvests meanwhile was meant for it.

#include <atomic>
#include <cstdint>
#include <sched.h>

#include "runtime/invariant.h"

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
  void worker_leave() noexcept {
    [[maybe_unused]] const std::uint32_t before =
        state_.fetch_sub(one_reader, std::memory_order_acq_rel);
    VELKOR_INVARIANT(before >= one_reader, "a worker left the poller without having entered");
  }

  // The loop's thread takes the poller, once every worker has stopped
  // reading it. Reading needs a look or a sleep besides (see below): the
  // watchdog may take it back at any other moment.
  void loop_take() noexcept { mark_and_wait(loop_owns); }

  // Hands the poller back to the workers. True when their pump was left
  // parked: the caller must then re-arm it. Workers that the watchdog let in
  // may still be reading: their count stays.
  [[nodiscard]] bool loop_release() noexcept {
    const std::uint32_t before = state_.fetch_and(~flags, std::memory_order_acq_rel);
    VELKOR_INVARIANT(!(before & (loop_looking | loop_sleeping)),
                     "the poller was handed back during a look or a sleep");
    return (before & pump_parked) != 0;
  }

  bool loop_owns_poller() const noexcept {
    return (state_.load(std::memory_order_acquire) & loop_owns) != 0;
  }

  // The loop's thread, around a look at the poller without waiting and the
  // delivery of what it found.
  void loop_begin_look() noexcept { mark_and_wait(loop_owns | loop_looking); }
  void loop_end_look() noexcept { unmark(loop_looking); }

  // The loop's thread, around its sleep in the epoll set and the delivery of
  // what woke it.
  void loop_begin_sleep() noexcept { mark_and_wait(loop_owns | loop_sleeping); }
  void loop_end_sleep() noexcept { unmark(loop_sleeping); }

  // The watchdog takes the poller for the workers, unless the loop's thread
  // looks or sleeps (or does not own it). True when taken; `resume_pump`
  // then says whether the pump was left parked and must be re-armed.
  bool watchdog_take(bool& resume_pump) noexcept {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    while ((state & loop_owns) && !(state & (loop_looking | loop_sleeping))) {
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
  static constexpr std::uint32_t loop_looking = 8;
  static constexpr std::uint32_t flags = 15;
  static constexpr std::uint32_t one_reader = 16;  // the rest counts reading workers

  // Sets `bits` (loop_owns among them) in one step, so that the watchdog
  // cannot take the poller between the take and the mark, then waits for
  // the workers that were reading to leave: none enters while the loop owns
  // the poller. Each retry sets the bits again: a bare take may be taken
  // back by the watchdog meanwhile, and must not wait on the workers that
  // this lets in.
  void mark_and_wait(std::uint32_t bits) noexcept {
    std::uint32_t before = state_.fetch_or(bits, std::memory_order_acq_rel);
    VELKOR_INVARIANT(!(before & (loop_looking | loop_sleeping)),
                     "the loop's thread began a look or a sleep inside another");
    while (before >= one_reader) {
      sched_yield();
      before = state_.fetch_or(bits, std::memory_order_acq_rel);
    }
  }

  void unmark(std::uint32_t bit) noexcept {
    [[maybe_unused]] const std::uint32_t before =
        state_.fetch_and(~bit, std::memory_order_acq_rel);
    VELKOR_INVARIANT((before & (loop_owns | bit)) == (loop_owns | bit) && before < one_reader,
                     "the loop's thread read the poller without owning it alone");
  }

  std::atomic<std::uint32_t> state_{0};
};

}  // namespace velkor::rt
