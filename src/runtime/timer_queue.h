#pragma once
// The runtime's timers: one deadline-ordered heap and one Asio timer armed
// for its earliest entry. Due tasks run one batch at a time, in deadline
// order (ties in scheduling order), on a worker thread; so two timers due
// together never race each other to their effects.

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace velkor::rt {

// A move-only piece of work.
class Task {
 public:
  Task() = default;
  template <typename F>
  explicit Task(F&& work) : impl_(std::make_unique<Impl<std::decay_t<F>>>(std::forward<F>(work))) {}
  void operator()() { impl_->run(); }

 private:
  struct Base {
    virtual ~Base() = default;
    virtual void run() = 0;
  };
  template <typename F>
  struct Impl final : Base {
    explicit Impl(F&& work) : work(std::move(work)) {}
    explicit Impl(const F& work) : work(work) {}
    void run() override { work(); }
    F work;
  };
  std::unique_ptr<Base> impl_;
};

class TimerQueue {
 public:
  using clock = std::chrono::steady_clock;

  explicit TimerQueue(asio::io_context& io) : timer_(io) {}
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // Runs `task` on a worker once `deadline` has passed. A deadline at the
  // clock's far end never comes.
  void schedule(clock::time_point deadline, Task task);

  // Destroys every pending task unrun, here; later tasks are dropped too.
  // The caller must have stopped the workers.
  void shut_down();

 private:
  struct Entry {
    clock::time_point deadline;
    std::uint64_t sequence;
    Task task;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.deadline != b.deadline ? a.deadline > b.deadline : a.sequence > b.sequence;
    }
  };

  void arm(clock::time_point deadline);  // with mutex_ held
  void expire();

  std::mutex mutex_;  // guards everything below, and every use of timer_
  std::vector<Entry> heap_;
  std::uint64_t next_sequence_ = 0;
  asio::steady_timer timer_;
  clock::time_point armed_for_ = clock::time_point::max();
  bool expiring_ = false;  // a worker is running a batch; it re-arms when done
  bool shut_down_ = false;
};

}  // namespace velkor::rt
