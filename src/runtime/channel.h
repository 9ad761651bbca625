#pragma once
// An unbounded multi-producer, single-consumer FIFO channel.
//
// Producers link nodes onto the tail of an intrusive list with one atomic
// exchange (never blocking, never taking a lock); the single consumer unlinks
// from the head. A consumer with nothing to read parks on a futex word, and a
// producer issues the wake-up syscall only when it finds the consumer parked,
// so a busy consumer costs producers no syscalls.
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
#include <utility>

#include "runtime/park.h"

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
    // 1 while the consumer is parked or about to park.
    std::atomic<std::uint32_t> parked{0};
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
      if (parked.load(std::memory_order_seq_cst) != 0 &&
          parked.exchange(0, std::memory_order_seq_cst) != 0) {
        unpark_one(parked);
      }
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
      if (!core_ || !core_->receiver_alive.load(std::memory_order_acquire)) return false;
      auto node = std::make_unique<Node>();
      node->value.emplace(std::move(value));
      Node* raw = node.release();
      Node* prev = core_->tail.exchange(raw, std::memory_order_seq_cst);
      prev->next.store(raw, std::memory_order_release);
      core_->wake_consumer();
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

    // Waits, parked, for the next value. nullopt means end of channel: every
    // sender is gone and nothing is left.
    std::optional<T> recv() {
      return recv([] { return false; });
    }

    // The same; when a signal handler interrupts the wait, `on_signal()` is
    // called, and if it returns true the wait ends with nullopt.
    template <typename OnSignal>
    std::optional<T> recv(OnSignal&& on_signal) {
      Core& core = *core_;
      for (;;) {
        if (auto value = core.try_pop()) return value;
        if (core.senders.load(std::memory_order_acquire) == 0) {
          if (auto value = core.try_pop()) return value;
          return std::nullopt;
        }
        // Announce the park, then look again: a producer either linked before
        // the announcement (seen here) or sees it and wakes us (seq_cst on
        // both sides orders the two).
        core.parked.store(1, std::memory_order_seq_cst);
        if (core.pending() || core.senders.load(std::memory_order_seq_cst) == 0) {
          core.parked.store(0, std::memory_order_relaxed);
          continue;
        }
        const bool interrupted = park_while(core.parked, 1);
        core.parked.store(0, std::memory_order_relaxed);
        if (interrupted && on_signal()) return std::nullopt;
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
