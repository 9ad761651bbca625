#include "runtime/timer_queue.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <sys/timerfd.h>
#include <unistd.h>

#include "runtime/os_error.h"

namespace velkor::rt {

TimerQueue::TimerQueue(Poller& poller)
    : timer_fd_(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
  if (timer_fd_ < 0) throw RuntimeBuildError(os_error_text(errno));
  try {
    poller.set_timer_source(timer_fd_, [this] { expire(); });
  } catch (...) {
    close(timer_fd_);
    throw;
  }
}

TimerQueue::~TimerQueue() { close(timer_fd_); }

void TimerQueue::schedule(Id id, Task task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) return;  // `task` goes with this frame
  pending_.emplace(id, std::move(task));
  if (!expiring_ && id.deadline < armed_for_) arm(id.deadline);
}

void TimerQueue::cancel(Id id) {
  Pending::node_type taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken = pending_.extract(id);
  // A cancelled earliest timer leaves the timerfd armed for its deadline:
  // that wake-up finds nothing due and re-arms for the next one.
}

void TimerQueue::arm(clock::time_point deadline) {
  armed_for_ = deadline;
  if (deadline == clock::time_point::max()) return;  // nothing will ever be due
  // steady_clock is CLOCK_MONOTONIC; a deadline already past fires at once
  // (a zero value would disarm instead).
  const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
      deadline.time_since_epoch()).count();
  itimerspec setting{};
  setting.it_value.tv_sec = since_epoch / 1'000'000'000;
  setting.it_value.tv_nsec = since_epoch % 1'000'000'000;
  if (setting.it_value.tv_sec <= 0 && setting.it_value.tv_nsec <= 0) setting.it_value.tv_nsec = 1;
  timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &setting, nullptr);
}

void TimerQueue::expire() {
  // Due entries move over node by node: collecting a batch allocates nothing.
  Pending due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t expirations = 0;  // resets the timerfd's edge
    [[maybe_unused]] const auto read_back = read(timer_fd_, &expirations, sizeof expirations);
    if (expiring_ || shut_down_) return;  // the batch in progress re-arms
    expiring_ = true;
    armed_for_ = clock::time_point::max();
    const auto now = clock::now();
    while (!pending_.empty() && pending_.begin()->first.deadline <= now) {
      due.insert(pending_.extract(pending_.begin()));
    }
  }
  for (auto& [id, task] : due) {
    try {
      task();
    } catch (const std::exception& failure) {
      // One failed task must not stop the others or the queue.
      std::fprintf(stderr, "velkor: a timer task failed: %s\n", failure.what());
    }
  }
  due.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  expiring_ = false;
  if (!pending_.empty() && !shut_down_) arm(pending_.begin()->first.deadline);
}

void TimerQueue::shut_down() {
  Pending dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    dropped.swap(pending_);
    const itimerspec disarmed{};
    timerfd_settime(timer_fd_, 0, &disarmed, nullptr);
  }
  // The tasks are destroyed here, outside the lock.
}

}  // namespace velkor::rt
