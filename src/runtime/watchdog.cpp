#include "runtime/watchdog.h"

#include <cerrno>
#include <sys/timerfd.h>
#include <unistd.h>

#include "runtime/os_error.h"

namespace velkor::rt {

namespace {
int make_timer() {
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) throw RuntimeBuildError(os_error_text(errno));
  return fd;
}
}  // namespace

Watchdog::Watchdog(asio::io_context& io, PollGate& gate, ReadinessPump& pump)
    : gate_(gate), pump_(pump), timer_fd_(make_timer()), descriptor_(io, timer_fd_) {
  wait();
}

Watchdog::~Watchdog() = default;  // the descriptor closes the timerfd

void Watchdog::run_started() noexcept {
  run_active_.store(true, std::memory_order_release);
  arm();
}

void Watchdog::arm() noexcept {
  itimerspec setting{};
  setting.it_value.tv_nsec = std::chrono::nanoseconds(period).count();
  timerfd_settime(timer_fd_, 0, &setting, nullptr);
}

void Watchdog::wait() {
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this](const std::error_code& error) {
                           if (error) return;  // shutting down
                           on_tick();
                           wait();
                         });
}

void Watchdog::on_tick() {
  std::uint64_t expirations = 0;
  if (read(timer_fd_, &expirations, sizeof expirations) < 0) return;  // a stale wake-up
  // Idle or asleep in the epoll set: stop until the loop's thread wakes.
  if (!run_active_.load(std::memory_order_acquire) || gate_.loop_sleeps()) return;
  const std::uint64_t epoch = epoch_.load(std::memory_order_relaxed);
  if ((epoch & 1) && epoch == last_seen_) {
    // Refused while the thread looks at the poller (the callback has ended
    // since `epoch` was read): it ticks on, as it does for a callback.
    bool resume_pump = false;
    if (gate_.watchdog_take(resume_pump)) {
      take_overs_.fetch_add(1, std::memory_order_relaxed);
      if (resume_pump) pump_.resume();
    }
  }
  last_seen_ = epoch;
  arm();
}

}  // namespace velkor::rt
