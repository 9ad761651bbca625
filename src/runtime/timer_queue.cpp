#include "runtime/timer_queue.h"

#include <cstdio>
#include <exception>
#include <new>

namespace velkor::rt {

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
  // A cancelled earliest timer leaves the Asio timer armed for its deadline:
  // that wake-up finds nothing due and re-arms for the next one.
}

void TimerQueue::arm(clock::time_point deadline) {
  if (deadline == clock::time_point::max()) return;  // nothing will ever be due
  timer_.expires_at(deadline);  // cancels the previous wait, if any
  try {
    timer_.async_wait([this](const std::error_code& error) {
      if (!error) expire();
    });
  } catch (const std::bad_alloc&) {
    // Out of memory: nothing is armed, so the next schedule() arms.
    armed_for_ = clock::time_point::max();
    std::fputs("velkor: out of memory; timers wait for the next one scheduled\n", stderr);
    return;
  }
  armed_for_ = deadline;
}

void TimerQueue::expire() {
  // Due entries move over node by node: collecting a batch allocates nothing.
  Pending due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
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
    timer_.cancel();
  }
  // The tasks are destroyed here, outside the lock.
}

}  // namespace velkor::rt
