#pragma once
// An unbounded multi-producer, single-consumer FIFO channel.
//
// Producers link nodes onto the tail of an intrusive list with one atomic
// exchange (never blocking, never taking a lock); the single consumer unlinks
// from the head. A consumer with nothing to read sleeps on a wake-up
// descriptor, and a producer issues the wake-up syscall only when it finds
// the consumer parked, so a busy consumer costs producers no syscalls.
//
// A producer that must not fail at the moment it posts (a timer firing on a
// worker) reserves its node beforehand: posting a reservation allocates
// nothing.
//
// Once the receiving end is gone, posts fail and hand the value back. A post
// that races with the receiver's destruction may still be linked; such a value
// is destroyed with the channel's shared state, as if it had been queued just
// before the receiver went.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <sched.h>
#include <type_traits>
#include <utility>

#include "runtime/wake_fd.h"

namespace velkor::rt {

template <typename T>
class Channel {
  struct Node {
    std::atomic<Node*> next{nullptr};
    std::optional<T> value;
  };

  struct Core {
    // Producers swing `tail`; the consumer owns `head`, a node whose value has
    // already been taken (initially an empty stub).
    std::atomic<Node*> tail;
    Node* head;
    // True while the consumer is parked or about to park.
    std::atomic<bool> parked{false};
    WakeFd wake;
    std::atomic<bool> receiver_alive{true};
    std::atomic<std::size_t> senders{1};

    Core() : tail(nullptr), head(nullptr) {
      head = std::make_unique<Node>().release();
      tail.store(head, std::memory_order_relaxed);
    }
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;
    ~Core() {
      // Values left behind are destroyed here, in queue order.
      while (head != nullptr) {
        std::unique_ptr<Node> node(head);
        head = node->next.load(std::memory_order_relaxed);
      }
    }

    void wake_consumer() noexcept {
      if (parked.load(std::memory_order_seq_cst) &&
          parked.exchange(false, std::memory_order_seq_cst)) {
        wake.signal();
      }
    }

    void link(Node* node) noexcept {
      Node* prev = tail.exchange(node, std::memory_order_seq_cst);
      prev->next.store(node, std::memory_order_release);
      wake_consumer();
    }

    // Consumer only. Empty also while a producer is between its exchange and
    // its link; `pending()` tells those apart.
    std::optional<T> try_pop() {
      for (;;) {
        Node* next = head->next.load(std::memory_order_acquire);
        if (next != nullptr) {
          std::unique_ptr<Node> old(head);
          head = next;
          std::optional<T> value(std::move(next->value));
          next->value.reset();
          return value;
        }
        if (!pending()) return std::nullopt;
        // A producer has claimed the tail but not linked yet: it is a few
        // instructions away from doing so unless it was preempted.
        sched_yield();
      }
    }

    bool pending() const noexcept {
      return tail.load(std::memory_order_seq_cst) != head;
    }
  };

 public:
  class Sender;
  class Receiver;

  // A node allocated ahead of its post, so that the post cannot fail for
  // want of memory.
  class Reservation {
   public:
    // Throws std::bad_alloc.
    Reservation() : node_(std::make_unique<Node>()) {}
    explicit operator bool() const noexcept { return node_ != nullptr; }

   private:
    friend class Channel;
    std::unique_ptr<Node> node_;
  };

  static std::pair<Sender, Receiver> make() {
    auto core = std::make_shared<Core>();
    return {Sender(core), Receiver(core)};
  }

  class Sender {
   public:
    Sender(const Sender& other) noexcept : core_(other.core_) {
      if (core_) core_->senders.fetch_add(1, std::memory_order_relaxed);
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender other) noexcept {
      std::swap(core_, other.core_);
      return *this;
    }
    ~Sender() { reset(); }

    void reset() noexcept {
      if (!core_) return;
      if (core_->senders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        core_->wake_consumer();  // it may be waiting for an end that has now come
      }
      core_.reset();
    }

    // Enqueues `value` and returns true, or returns false leaving `value`
    // untouched when the receiving end is gone.
    bool try_post(T&& value) {
      if (is_closed()) return false;
      Reservation reservation;
      return try_post(reservation, std::move(value));
    }

    // The same into a reserved node, which the post uses up; it allocates
    // nothing. On failure both `value` and the reservation stay untouched.
    bool try_post(Reservation& reservation, T&& value) noexcept {
      static_assert(std::is_nothrow_move_constructible_v<T>);
      if (is_closed() || !reservation) return false;
      reservation.node_->value.emplace(std::move(value));
      core_->link(reservation.node_.release());
      return true;
    }

    // True once the receiving end is gone: every later post fails.
    bool is_closed() const noexcept {
      return !core_ || !core_->receiver_alive.load(std::memory_order_acquire);
    }

   private:
    friend class Channel;
    explicit Sender(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::shared_ptr<Core> core_;
  };

  class Receiver {
   public:
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
      if (this != &other) {
        close();
        core_ = std::move(other.core_);
      }
      return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    std::optional<T> try_recv() { return core_->try_pop(); }

    // Calls `visit` on each queued value, oldest first, without taking any.
    // Producers may post meanwhile; what they link may or may not be seen.
    template <typename Visit>
    void for_each_queued(Visit&& visit) const {
      for (Node* node = core_->head->next.load(std::memory_order_acquire); node != nullptr;
           node = node->next.load(std::memory_order_acquire)) {
        if (node->value) visit(*node->value);
      }
    }

    // True when every sender is gone: what is queued is all there will be.
    bool senders_gone() const noexcept {
      return core_->senders.load(std::memory_order_acquire) == 0;
    }

    // Sleeps until a post (or the last sender's going) may have changed what
    // try_recv() finds; returns at once if it already has. With `mask`, the
    // sleep runs under that signal mask, so a signal the caller blocked before
    // its last look still cuts the sleep short (`interrupted`). Callers look
    // again whatever this returns.
    WakeFd::Woke wait(const sigset_t* mask = nullptr) noexcept {
      return wait_with([this, mask] { return core_->wake.sleep(mask); });
    }

    // The same, sleeping through `sleep()` instead, which must return once
    // the wake-up descriptor (wake_fd()) becomes readable, if not sooner:
    // the loop's thread sleeps in the poller's epoll set, of which that
    // descriptor is a member.
    template <typename Sleep>
    WakeFd::Woke wait_with(Sleep&& sleep) noexcept {
      Core& core = *core_;
      // Announce the park, then look again: a producer either linked before
      // the announcement (seen here) or sees it and wakes us (seq_cst on
      // both sides orders the two).
      core.parked.store(true, std::memory_order_seq_cst);
      if (core.pending() || core.senders.load(std::memory_order_seq_cst) == 0) {
        core.parked.store(false, std::memory_order_relaxed);
        return WakeFd::Woke::signalled;
      }
      const WakeFd::Woke woke = sleep();
      // A producer that still saw the announcement writes the descriptor
      // once more: a spurious wake-up later, never a lost one.
      core.parked.store(false, std::memory_order_relaxed);
      return woke;
    }

    int wake_fd() const noexcept { return core_->wake.fd(); }

    // Waits for the next value. nullopt means end of channel: every sender
    // is gone and nothing is left.
    std::optional<T> recv() {
      for (;;) {
        if (auto value = try_recv()) return value;
        if (senders_gone()) return try_recv();
        wait();
      }
    }

    // Closes the channel for posting and destroys what is queued.
    void close() {
      if (!core_) return;
      core_->receiver_alive.store(false, std::memory_order_release);
      while (core_->try_pop()) {
      }
      core_.reset();
    }

   private:
    friend class Channel;
    explicit Receiver(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::shared_ptr<Core> core_;
  };
};

}  // namespace velkor::rt
