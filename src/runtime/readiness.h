#pragma once
// Edge-triggered descriptor readiness with sticky flags and an event tick.
//
// One epoll instance per runtime. Each descriptor has at most one
// Registration, shared by every watch on it and always asking for read,
// write and peer half-close readiness, edge-triggered. Every reported event
// ORs readiness flags into the registration's state word and advances its
// tick; only a watch clears its own direction's ready flag, and only while
// the tick is unchanged, so an event racing with the clearing is never lost.
//
// A waiter that finds no flag of its direction set parks in the
// registration; the harvest that records the next matching event takes it
// out and resumes it, on the harvesting worker thread, with no lock held.

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/epoll.h>
#include <unordered_map>

namespace velkor::rt {

enum class Direction { read = 0, write = 1 };

namespace readiness {
constexpr std::uint64_t readable = 1;
constexpr std::uint64_t writable = 2;
constexpr std::uint64_t read_closed = 4;
constexpr std::uint64_t write_closed = 8;
constexpr unsigned tick_shift = 8;

constexpr std::uint64_t tick(std::uint64_t state) { return state >> tick_shift; }
constexpr std::uint64_t ready_flag(Direction d) { return d == Direction::read ? readable : writable; }
constexpr std::uint64_t closed_flag(Direction d) {
  return d == Direction::read ? read_closed : write_closed;
}
// The flags an epoll event sets.
std::uint64_t flags_from_epoll(std::uint32_t events);
}  // namespace readiness

// The parked side of a wait. Resumed at most once per park.
class ReadyWaiter {
 public:
  virtual ~ReadyWaiter() = default;
  virtual void on_ready() = 0;
};

class Poller;

class Registration {
 public:
  Registration(std::shared_ptr<Poller> poller, int fd, std::uint32_t generation);
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  enum class Wait { ready, parked, cancelled, shut_down };

  // Completes at once (ready, with the state seen in `observed`) when the
  // direction's ready flag is set, or its closed flag is set and the tick has
  // moved past `closed_seen` (a closed condition completes one wait per new
  // event, never a busy loop). Otherwise parks `waiter`, unless `cancelled`
  // is already set or the poller has shut down. `cancelled` is read under the
  // same lock that a canceller takes to unpark, so a cancellation cannot slip
  // between the check and the park.
  Wait wait(Direction dir, std::uint64_t closed_seen, const std::atomic<bool>& cancelled,
            const std::shared_ptr<ReadyWaiter>& waiter, std::uint64_t& observed);

  // Takes `who` out of the direction's slot if it is parked there.
  std::shared_ptr<ReadyWaiter> unpark(Direction dir, const ReadyWaiter* who);

  // Clears the direction's ready flag unless an event was recorded after
  // `observed` was read.
  void clear_ready(Direction dir, std::uint64_t observed);

  std::uint64_t state() const { return state_.load(std::memory_order_acquire); }

  // Drops every flag (the descriptor now names another file), keeping the
  // tick moving forward.
  void forget_readiness();

 private:
  friend class Poller;
  struct Slot {
    std::shared_ptr<ReadyWaiter> waiter;
    std::uint64_t closed_seen = 0;
  };
  static bool completes(Direction dir, std::uint64_t state, std::uint64_t closed_seen);
  void record(std::uint64_t flags);
  void shut_down();

  std::shared_ptr<Poller> poller_;
  int fd_;
  std::uint32_t generation_;
  std::atomic<std::uint64_t> state_{0};
  std::mutex mutex_;  // guards the slots and shut_down_
  Slot slots_[2];
  bool shut_down_ = false;
};

class Poller : public std::enable_shared_from_this<Poller> {
 public:
  static constexpr int batch = 64;

  // Events read from the epoll instance, not yet delivered.
  struct Events {
    epoll_event items[batch];
    int count = 0;
  };

  // Throws RuntimeBuildError when the epoll instance cannot be made.
  static std::shared_ptr<Poller> create();

  // Only create() can name the key: a poller always lives in a shared_ptr.
  class Key {
    friend class Poller;
    Key() = default;
  };
  Poller(Key, int epoll_fd) : epoll_fd_(epoll_fd) {}
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  int epoll_fd() const { return epoll_fd_; }

  // The registration of `fd`: a new epoll entry, or the descriptor's shared
  // one re-armed so that it reports the current state again. On failure
  // returns null with `error` set to the OS error number, or to 0 when the
  // poller has shut down.
  std::shared_ptr<Registration> acquire(int fd, int& error);

  // Members of the epoll set that are not descriptor watches. The timer
  // source's handler runs on the thread that delivers its event; it is set
  // once, before anything waits or harvests. A wake-up source is an eventfd
  // or a pipe that wakes whoever sleeps in wait(): delivering its event only
  // empties it.
  // Watching a source's descriptor is refused (EEXIST): its epoll entry is
  // the source's.
  void set_timer_source(int fd, std::function<void()> on_expiry);
  void add_wake_source(int fd);  // throws RuntimeBuildError
  // Before the source's descriptor is closed, so that its number is free.
  void remove_source(int fd);

  // Waits up to `timeout_ms` (-1: no limit), under `mask` when given, and
  // reads what is ready into `events`. False when a signal cut the wait
  // short (nothing read).
  bool wait(Events& events, int timeout_ms, const sigset_t* mask = nullptr);
  // Delivers what wait() read: records each watch's event (resuming its
  // waiters here) and runs the timer source's handler.
  void deliver(const Events& events);

  // Reads the events that are ready, without blocking, and delivers them.
  // Returns how many were read (`batch` means there may be more).
  int harvest();

  // Ends every parked wait; later waits and acquisitions fail. The caller
  // must have stopped the threads that harvest.
  void shut_down();

 private:
  struct Entry {
    std::weak_ptr<Registration> registration;
    std::uint32_t generation;
  };
  friend class Registration;
  void forget(int fd, std::uint32_t generation);

  int epoll_fd_;
  int timer_fd_ = -1;
  std::function<void()> on_timer_;
  std::mutex mutex_;  // guards the map, the generation counter and shut_down_
  std::unordered_map<int, Entry> by_fd_;
  std::uint32_t next_generation_ = 0;
  bool shut_down_ = false;
};

}  // namespace velkor::rt
