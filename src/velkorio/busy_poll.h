#pragma once
// BusyPoll: whether the selector keeps looking for I/O for a while before
// it sleeps, and for how long.
//
// Going to sleep in epoll and being woken costs far more than the look
// itself: on a VM the thread starts running tens of microseconds after the
// event, more than a small request costs to serve. A server at moderate
// load (a few connections, each with its next request a few microseconds
// behind its answer) pays that for nearly every request. Looking for I/O
// without sleeping for a short window first catches those requests; it
// only pays while they come, so the window is adaptive, judged by each
// sleep (`slept`) by how long after the look began it ended:
//
// - a sleep that ended on I/O soon enough for a window to have caught it
//   opens the window, or doubles it, up to the limit;
// - any other sleep (long, or ended by a timer) halves it, and a small
//   window closes, so that an idle loop, or one that serves a request now
//   and then, sleeps at once as it did without any of this.
//
// A look that finds I/O leaves the window as it is. An idle loop spends at
// most about twice the limit looking before its window closes. The caller
// never looks past its next timer's deadline and never while callbacks are
// ready (it does not sleep then anyway), and the
// loop's wake-up pipe is in the set it looks at, so call_soon_threadsafe,
// signals and stop() end a window as they end a sleep.

#include <algorithm>
#include <cstdint>

namespace velkorio {

class BusyPoll {
 public:
  // The longest window, in seconds; 0 turns looking before sleeping off.
  void set_limit(double seconds) noexcept {
    limit_ = std::max(0.0, seconds);
    window_ = 0;
  }
  double limit() const noexcept { return limit_; }

  // How long to look before the next sleep, in seconds (0: sleep at once).
  double window() const noexcept { return window_; }

  // A look found I/O, or did not (the loop then sleeps).
  void found() noexcept { ++found_; }
  void missed() noexcept { ++missed_; }

  // A sleep ended `waited` seconds after the look before it began (after
  // the sleep began when there was no look), on I/O or not. What a sleep
  // measures includes the wake-up itself (tens of microseconds on a VM),
  // so one that ended within twice the limit counts as caught by a window.
  void slept(double waited, bool on_io) noexcept {
    if (limit_ <= 0) return;
    if (on_io && waited < 2 * limit_) {
      window_ = window_ == 0 ? limit_ / 4 : std::min(limit_, window_ * 2);
    } else {
      window_ /= 2;
      if (window_ < limit_ / 8) window_ = 0;
    }
  }

  std::uint64_t found_count() const noexcept { return found_; }
  std::uint64_t missed_count() const noexcept { return missed_; }

 private:
  double limit_ = 0;
  double window_ = 0;
  std::uint64_t found_ = 0;
  std::uint64_t missed_ = 0;
};

}  // namespace velkorio
