#pragma once
// The watchdog: hands the poller to the workers while the loop's thread runs
// one callback for long, so that readiness and timers reach the queue at
// most about a period late, however long the callback.
//
// It ticks on a worker, from a timerfd in Asio's reactor, every `period`
// while a run is in progress and its thread is busy; it stops when it finds
// that thread asleep in the epoll set, and the thread arms it again when it
// wakes (arming a timerfd wakes nobody). The thread marks each callback's
// start and end with a relaxed store; two ticks that see the same callback
// running take the poller over.

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "runtime/poll_gate.h"
#include "runtime/readiness_pump.h"

namespace velkor::rt {

class Watchdog {
 public:
  static constexpr std::chrono::microseconds period{1000};

  // Throws RuntimeBuildError when the timerfd cannot be made.
  Watchdog(asio::io_context& io, PollGate& gate, ReadinessPump& pump);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // The loop's thread: a run starts or ends; it wakes from its sleep.
  void run_started() noexcept;
  void run_ended() noexcept { run_active_.store(false, std::memory_order_release); }
  void woke() noexcept { arm(); }

  // The loop's thread, around each callback.
  void callback_started() noexcept {
    epoch_.store((++callbacks_ << 1) | 1, std::memory_order_relaxed);
  }
  void callback_ended() noexcept { epoch_.store(callbacks_ << 1, std::memory_order_relaxed); }

  // How many times the watchdog took the poller; for tests and figures.
  std::uint64_t take_overs() const noexcept { return take_overs_.load(std::memory_order_relaxed); }

 private:
  void arm() noexcept;
  void wait();
  void on_tick();

  PollGate& gate_;
  ReadinessPump& pump_;
  int timer_fd_;
  asio::posix::stream_descriptor descriptor_;
  std::atomic<bool> run_active_{false};
  // The current callback's number, doubled, plus one while it runs.
  std::atomic<std::uint64_t> epoch_{0};
  std::uint64_t callbacks_ = 0;     // the loop's thread's own count
  std::uint64_t last_seen_ = 0;     // the ticking worker's own
  std::atomic<std::uint64_t> take_overs_{0};
};

}  // namespace velkor::rt
