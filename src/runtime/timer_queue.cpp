#include "runtime/timer_queue.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

namespace velkor::rt {

void TimerQueue::schedule(clock::time_point deadline, Task task) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shut_down_) return;  // `task` goes with this frame
  heap_.push_back(Entry{deadline, next_sequence_++, std::move(task)});
  std::push_heap(heap_.begin(), heap_.end(), Later{});
  if (!expiring_ && deadline < armed_for_) arm(deadline);
}

void TimerQueue::arm(clock::time_point deadline) {
  armed_for_ = deadline;
  if (deadline == clock::time_point::max()) return;  // nothing will ever be due
  timer_.expires_at(deadline);  // cancels the previous wait, if any
  timer_.async_wait([this](const std::error_code& error) {
    if (!error) expire();
  });
}

void TimerQueue::expire() {
  std::vector<Task> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (expiring_ || shut_down_) return;  // the batch in progress re-arms
    expiring_ = true;
    armed_for_ = clock::time_point::max();
    const auto now = clock::now();
    while (!heap_.empty() && heap_.front().deadline <= now) {
      std::pop_heap(heap_.begin(), heap_.end(), Later{});
      try {
        due.push_back(std::move(heap_.back().task));
      } catch (const std::bad_alloc&) {
        // Out of memory: the entry goes back, due, for the next batch.
        std::push_heap(heap_.begin(), heap_.end(), Later{});
        break;
      }
      heap_.pop_back();
    }
  }
  for (Task& task : due) {
    try {
      task();
    } catch (const std::exception& failure) {
      // One failed task (out of memory) must not stop the others or the queue.
      std::fprintf(stderr, "velkor: a timer task failed: %s\n", failure.what());
    }
  }
  due.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  expiring_ = false;
  if (!heap_.empty() && !shut_down_) arm(heap_.front().deadline);
}

void TimerQueue::shut_down() {
  std::vector<Entry> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    dropped.swap(heap_);
    timer_.cancel();
  }
  // The tasks are destroyed here, outside the lock.
}

}  // namespace velkor::rt
