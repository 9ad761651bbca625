#include "runtime/readiness.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

#include "runtime/os_error.h"

namespace velkor::rt {

namespace {
constexpr std::uint32_t interest = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

epoll_event event_for(int fd, std::uint32_t generation) {
  epoll_event ev{};
  ev.events = interest;
  ev.data.u64 = (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(fd);
  return ev;
}
}  // namespace

std::uint64_t readiness::flags_from_epoll(std::uint32_t events) {
  std::uint64_t flags = 0;
  // An error alone (a connected datagram socket's ICMP error, say) is news
  // for a reader too: its next read reports the error.
  if (events & (EPOLLIN | EPOLLPRI | EPOLLERR)) flags |= readable;
  if (events & EPOLLOUT) flags |= writable;
  if ((events & EPOLLHUP) || ((events & EPOLLIN) && (events & EPOLLRDHUP))) flags |= read_closed;
  if ((events & EPOLLHUP) || (events & EPOLLERR)) flags |= write_closed;
  return flags;
}

// ---- Registration

Registration::Registration(std::shared_ptr<Poller> poller, int fd, std::uint32_t generation)
    : poller_(std::move(poller)), fd_(fd), generation_(generation) {}

Registration::~Registration() { poller_->forget(fd_, generation_); }

bool Registration::completes(Direction dir, std::uint64_t state, std::uint64_t closed_seen) {
  if (state & readiness::ready_flag(dir)) return true;
  return (state & readiness::closed_flag(dir)) && readiness::tick(state) > closed_seen;
}

Registration::Wait Registration::wait(Direction dir, std::uint64_t closed_seen,
                                      const std::atomic<bool>& cancelled,
                                      const std::shared_ptr<ReadyWaiter>& waiter,
                                      std::uint64_t& observed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled.load(std::memory_order_acquire)) return Wait::cancelled;
  if (shut_down_) return Wait::shut_down;
  // record() updates the state before it takes this lock to look at the
  // slots, so a state read here that does not complete the wait is followed
  // by a look at the slot we are about to fill.
  observed = state_.load(std::memory_order_acquire);
  if (completes(dir, observed, closed_seen)) return Wait::ready;
  Slot& slot = slots_[static_cast<int>(dir)];
  slot.waiter = waiter;
  slot.closed_seen = closed_seen;
  return Wait::parked;
}

std::shared_ptr<ReadyWaiter> Registration::unpark(Direction dir, const ReadyWaiter* who) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[static_cast<int>(dir)];
  if (slot.waiter.get() != who) return nullptr;
  return std::move(slot.waiter);
}

void Registration::clear_ready(Direction dir, std::uint64_t observed) {
  const std::uint64_t flag = readiness::ready_flag(dir);
  std::uint64_t current = state_.load(std::memory_order_acquire);
  while (readiness::tick(current) == readiness::tick(observed)) {
    if (state_.compare_exchange_weak(current, current & ~flag, std::memory_order_acq_rel)) return;
  }
}

void Registration::forget_readiness() {
  std::uint64_t current = state_.load(std::memory_order_relaxed);
  // Keeps the tick moving forward: closed conditions are reported per tick.
  while (!state_.compare_exchange_weak(
      current, (readiness::tick(current) + 1) << readiness::tick_shift, std::memory_order_acq_rel)) {
  }
}

void Registration::record(std::uint64_t flags) {
  std::uint64_t current = state_.load(std::memory_order_relaxed);
  std::uint64_t next;
  do {
    next = (current | flags) + (std::uint64_t{1} << readiness::tick_shift);
  } while (!state_.compare_exchange_weak(current, next, std::memory_order_acq_rel));

  std::shared_ptr<ReadyWaiter> woken[2];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t now = state_.load(std::memory_order_acquire);
    for (int d = 0; d < 2; ++d) {
      Slot& slot = slots_[d];
      if (slot.waiter && completes(static_cast<Direction>(d), now, slot.closed_seen)) {
        woken[d] = std::move(slot.waiter);
      }
    }
  }
  for (auto& waiter : woken) {
    if (!waiter) continue;
    try {
      waiter->on_ready();
    } catch (const std::exception& failure) {
      // One failed waiter (out of memory) must not cost the other its wake-up.
      std::fprintf(stderr, "velkor: a readiness watch failed: %s\n", failure.what());
    }
  }
}

void Registration::shut_down() {
  std::shared_ptr<ReadyWaiter> dropped[2];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    for (int d = 0; d < 2; ++d) dropped[d] = std::move(slots_[d].waiter);
  }
  // The waiters are released here, outside the lock.
}

// ---- Poller

std::shared_ptr<Poller> Poller::create() {
  int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) throw RuntimeBuildError(os_error_text(errno));
  try {
    return std::make_shared<Poller>(Key{}, fd);
  } catch (...) {
    close(fd);  // the poller that would own it was never made
    throw;
  }
}

Poller::~Poller() { close(epoll_fd_); }

std::shared_ptr<Registration> Poller::acquire(int fd, int& error) {
  // Declared before the lock: if this ends up holding the last reference,
  // the registration's destructor (which takes the lock) runs after it.
  std::shared_ptr<Registration> shared;
  std::lock_guard<std::mutex> lock(mutex_);
  error = 0;
  if (shut_down_) return nullptr;
  auto found = by_fd_.find(fd);
  if (found != by_fd_.end() && found->second.generation == 0) {
    error = EEXIST;  // one of our own sources
    return nullptr;
  }
  if (found != by_fd_.end()) {
    shared = found->second.registration.lock();
    if (shared) {
      // Re-arm the shared entry so this watch sees the current state. If the
      // descriptor was closed and its number reused, the old entry is gone:
      // the new file is added under the same registration, which forgets
      // what it knew of the old one.
      epoll_event ev = event_for(fd, found->second.generation);
      if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) {
        if (errno != ENOENT || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
          error = errno;
          return nullptr;
        }
        shared->forget_readiness();
      }
      return shared;
    }
  }
  const std::uint32_t generation = ++next_generation_;
  epoll_event ev = event_for(fd, generation);
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    // EEXIST: the previous registration of this descriptor is on its way out
    // and has not removed its entry yet. Take the entry over; the old
    // registration sees a newer generation and leaves it alone.
    if (errno != EEXIST || epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) {
      error = errno;
      return nullptr;
    }
  }
  auto registration = std::make_shared<Registration>(shared_from_this(), fd, generation);
  by_fd_[fd] = Entry{registration, generation};
  return registration;
}

void Poller::forget(int fd, std::uint32_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = by_fd_.find(fd);
  if (found == by_fd_.end() || found->second.generation != generation) return;
  by_fd_.erase(found);
  // Fails harmlessly when the caller has closed the descriptor already.
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

// Sources carry generation 0 (watches start at 1), and their descriptor.
namespace {
constexpr std::uint64_t source_tag(int fd) { return static_cast<std::uint32_t>(fd); }
}  // namespace

void Poller::set_timer_source(int fd, std::function<void()> on_expiry) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = source_tag(fd);
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    throw RuntimeBuildError(os_error_text(errno));
  }
  timer_fd_ = fd;
  on_timer_ = std::move(on_expiry);
  std::lock_guard<std::mutex> lock(mutex_);
  by_fd_[fd] = Entry{{}, 0};
}

void Poller::add_wake_source(int fd) {
  // Level-triggered: it stays reported until it is emptied, so no
  // harvest elsewhere can take the wake-up away from the one who sleeps.
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = source_tag(fd);
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    throw RuntimeBuildError(os_error_text(errno));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  by_fd_[fd] = Entry{{}, 0};
}

void Poller::remove_source(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = by_fd_.find(fd);
  if (found == by_fd_.end() || found->second.generation != 0) return;
  by_fd_.erase(found);
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

bool Poller::wait(Events& events, int timeout_ms, const sigset_t* mask) {
  const int n = epoll_pwait(epoll_fd_, events.items, batch, timeout_ms, mask);
  events.count = n > 0 ? n : 0;
  return !(n < 0 && errno == EINTR);
}

void Poller::deliver(const Events& events) {
  const int n = events.count;
  std::shared_ptr<Registration> targets[batch];
  bool timer_due = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < n; ++i) {
      const int fd = static_cast<int>(static_cast<std::uint32_t>(events.items[i].data.u64));
      const auto generation = static_cast<std::uint32_t>(events.items[i].data.u64 >> 32);
      if (generation == 0) {
        if (fd == timer_fd_) {
          timer_due = true;
        } else {
          // A wake-up source: empty it (an eventfd in one read, a pipe in
          // as many as it takes).
          char drained[64];
          while (read(fd, drained, sizeof drained) == static_cast<ssize_t>(sizeof drained)) {
          }
        }
        continue;
      }
      auto found = by_fd_.find(fd);
      if (found != by_fd_.end() && found->second.generation == generation) {
        targets[i] = found->second.registration.lock();
      }
    }
  }
  for (int i = 0; i < n; ++i) {
    if (targets[i]) targets[i]->record(readiness::flags_from_epoll(events.items[i].events));
  }
  if (timer_due) on_timer_();
}

int Poller::harvest() {
  Events events;
  wait(events, 0);
  if (events.count > 0) deliver(events);
  return events.count;
}

void Poller::shut_down() {
  std::vector<std::shared_ptr<Registration>> live;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
    for (auto& [fd, entry] : by_fd_) {
      if (auto shared = entry.registration.lock()) live.push_back(std::move(shared));
    }
  }
  for (auto& registration : live) registration->shut_down();
}

}  // namespace velkor::rt
