#pragma once
// The runtime's timers: one deadline-ordered set and one timerfd armed for
// its earliest entry. The timerfd sits in the poller's epoll set, so due
// tasks run on whichever thread delivers the poller's events (a worker, or
// the thread that runs the loop while it waits there), one batch at a time,
// in deadline order (ties in scheduling order); so two timers due together
// never race each other to their effects. A timer can be cancelled by its
// id, which takes its task out at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>

#include "runtime/readiness.h"
#include "runtime/task.h"

namespace velkor::rt {

class TimerQueue {
 public:
  using clock = std::chrono::steady_clock;

  // A timer's place in the queue: its deadline, then its scheduling order.
  struct Id {
    clock::time_point deadline;
    std::uint64_t sequence;
    auto operator<=>(const Id&) const = default;
  };

  // Throws RuntimeBuildError when the timerfd cannot be made or added.
  explicit TimerQueue(Poller& poller);
  ~TimerQueue();
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // The id of a timer due at `deadline`, to be scheduled next; ids taken
  // later sort after it among equal deadlines.
  Id next_id(clock::time_point deadline) {
    return Id{deadline, next_sequence_.fetch_add(1, std::memory_order_relaxed)};
  }

  // Runs `task` on a worker once `id.deadline` has passed. A deadline at the
  // clock's far end never comes. Throws std::bad_alloc, leaving nothing
  // scheduled.
  void schedule(Id id, Task task);

  // Takes the timer out unrun, if it is still waiting; its task is destroyed
  // on the calling thread, outside the queue's lock.
  void cancel(Id id);

  // Runs the batch that is due; the poller calls it when the timerfd fires.
  void expire();

  // Destroys every pending task unrun, here; later tasks are dropped too.
  // The caller must have stopped the threads that deliver events.
  void shut_down();

 private:
  using Pending = std::map<Id, Task>;

  void arm(clock::time_point deadline);  // with mutex_ held

  std::atomic<std::uint64_t> next_sequence_{0};
  std::mutex mutex_;  // guards everything below, and every use of timer_
  Pending pending_;
  int timer_fd_;
  clock::time_point armed_for_ = clock::time_point::max();
  bool expiring_ = false;  // a worker is running a batch; it re-arms when done
  bool shut_down_ = false;
};

}  // namespace velkor::rt
