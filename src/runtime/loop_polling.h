#pragma once
// LoopPolling: the poller in the hands of the thread that runs the loop,
// for the length of one run.
//
// With the poller its own, the loop's thread sleeps in the epoll set when
// its queue is empty (the channel's wake-up descriptor and the timers'
// timerfd are members), delivers what it finds there itself, and looks
// again at least every `busy_poll_interval` of busy time, so that a flood
// of callbacks cannot hold readiness and timers back. A readiness event
// therefore reaches its callback without waking any other thread. While one
// callback runs long, the watchdog lends the poller to the workers; the
// thread takes it back at its next look. Each look and each sleep, with the
// delivery of what it found, is marked in the gate (see PollGate), which
// keeps the workers and the watchdog out meanwhile.

#include <chrono>

#include "runtime/runtime.h"
#include "runtime/wake_fd.h"

namespace velkor::rt {

class LoopPolling {
 public:
  using clock = std::chrono::steady_clock;
  static constexpr clock::duration busy_poll_interval = std::chrono::microseconds(200);

  explicit LoopPolling(RuntimeHandle runtime) : runtime_(std::move(runtime)) {
    runtime_.gate().loop_take();
    runtime_.watchdog().run_started();
  }
  // Hands the poller back to the workers.
  ~LoopPolling() {
    runtime_.watchdog().run_ended();
    if (runtime_.gate().loop_release()) runtime_.resume_pump();
  }
  LoopPolling(const LoopPolling&) = delete;
  LoopPolling& operator=(const LoopPolling&) = delete;

  // Sleeps in the epoll set through `receiver` (which announces the park
  // and looks at its queue a last time), under `mask` when given, then
  // delivers what woke it.
  template <typename Receiver>
  WakeFd::Woke sleep(Receiver& receiver, const sigset_t* mask) {
    Poller::Events events;
    PollGate& gate = runtime_.gate();
    gate.loop_begin_sleep();
    // Awake once it has delivered; the watchdog, which stopped on finding
    // the thread asleep, ticks again from then on.
    const AtExit awake{[&] {
      gate.loop_end_sleep();
      runtime_.watchdog().woke();
    }};
    const WakeFd::Woke woke = receiver.wait_with([&] {
      return runtime_.poller()->wait(events, -1, mask) ? WakeFd::Woke::signalled
                                                        : WakeFd::Woke::interrupted;
    });
    deliver(events);
    return woke;
  }

  // Delivers what is ready now, without sleeping; true when there was
  // anything. Takes the poller back first if the watchdog lent it.
  bool poll_now() {
    Poller::Events events;
    PollGate& gate = runtime_.gate();
    gate.loop_begin_look();
    const AtExit looked{[&] { gate.loop_end_look(); }};
    runtime_.poller()->wait(events, 0);
    deliver(events);
    return events.count > 0;
  }

  // Between two callbacks: poll_now(), when the last look is
  // `busy_poll_interval` old.
  void poll_if_due() {
    if (clock::now() - last_look_ >= busy_poll_interval) poll_now();
  }

  // Around each callback, for the watchdog.
  void callback_started() noexcept { runtime_.watchdog().callback_started(); }
  void callback_ended() noexcept { runtime_.watchdog().callback_ended(); }

 private:
  template <typename F>
  struct AtExit {
    F run;
    ~AtExit() { run(); }
  };

  void deliver(const Poller::Events& events) {
    last_look_ = clock::now();
    if (events.count > 0) runtime_.poller()->deliver(events);
  }

  RuntimeHandle runtime_;
  clock::time_point last_look_ = clock::now();
};

}  // namespace velkor::rt
