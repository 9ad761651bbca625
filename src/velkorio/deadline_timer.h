#pragma once
// DeadlineTimer: a timerfd in the selector's epoll set that ends short
// waits. epoll's own timeout is stretched by the kernel's timer slack (50 µs
// for an ordinary thread, whatever the wait), a timerfd is not: on the build
// machine a 200 µs timer ran 87 µs late through the timeout and 32 µs late
// with the slack out of the way. Long waits keep the timeout, where the
// slack is a small part of the wait and arming would be a system call more.

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace velkorio {

class DeadlineTimer {
 public:
  DeadlineTimer() = default;
  ~DeadlineTimer() { reset(); }
  DeadlineTimer(const DeadlineTimer&) = delete;
  DeadlineTimer& operator=(const DeadlineTimer&) = delete;

  // Fires at `deadline` (CLOCK_MONOTONIC), in `epoll_fd`'s set from the
  // first call on. False when the timerfd cannot be made or armed: the
  // caller waits with a timeout instead.
  bool arm(int epoll_fd, const timespec& deadline) noexcept {
    if (fd_ < 0 && !create(epoll_fd)) return false;
    itimerspec setting{};
    setting.it_value = deadline;
    if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) setting.it_value.tv_nsec = 1;
    armed_ = timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr) == 0;
    if (!armed_ && refusal(errno)) {
      refused_.store(true, std::memory_order_relaxed);
      reset();
    }
    return armed_;
  }

  // Takes back a deadline that was not reached, so that it cannot end a
  // later wait.
  void disarm() noexcept {
    if (!armed_) return;
    const itimerspec off{};
    timerfd_settime(fd_, 0, &off, nullptr);
    armed_ = false;
  }

  // Closes the timerfd (the selector closes).
  void reset() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    armed_ = false;
  }

  // Whether `event` is this timer's; if so, its expiry is read off.
  bool consume(const epoll_event& event) noexcept {
    if (fd_ < 0 || event.data.fd != fd_) return false;
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = read(fd_, &expirations, sizeof expirations);
    armed_ = false;
    return true;
  }

 private:
  // What a kernel without timerfds, or a sandbox that forbids them,
  // answers: remembered for the whole process, so that no later wait pays
  // for a call that is bound to fail. Anything else (out of descriptors,
  // say) may pass, and the next wait tries again.
  static bool refusal(int error) noexcept { return error == ENOSYS || error == EPERM; }

  bool create(int epoll_fd) noexcept {
    if (refused_.load(std::memory_order_relaxed)) return false;
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0) {
      if (refusal(errno)) refused_.store(true, std::memory_order_relaxed);
      return false;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) < 0) {
      close(fd);
      return false;
    }
    fd_ = fd;
    return true;
  }

  static inline std::atomic<bool> refused_{false};
  int fd_ = -1;
  bool armed_ = false;
};

}  // namespace velkorio
