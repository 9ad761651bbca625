#pragma once
// The loop's timers: a binary heap ordered by deadline, then by scheduling
// order, in which every timer knows its own place, so that a cancelled one
// leaves at once (O(log n)) instead of waiting for its deadline.
//
// Only strong references move around the heap; nothing here calls Python
// code, except the release of a removed timer, which is left to the caller.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "handle.h"
#include "runtime/invariant.h"

namespace velkorio {

class TimerHeap {
 public:
  bool empty() const noexcept { return heap_.empty(); }
  std::size_t size() const noexcept { return heap_.size(); }
  TimerHandleObject* top() const noexcept { return timer(0); }

  // Queues `handle` (a TimerHandle not queued yet). Throws std::bad_alloc.
  void push(PyRef handle) {
    TimerHandleObject* entry = reinterpret_cast<TimerHandleObject*>(handle.get());
    entry->sequence = next_sequence_++;
    heap_.push_back(std::move(handle));
    entry->heap_index = static_cast<Py_ssize_t>(heap_.size() - 1);
    sift_up(heap_.size() - 1);
    check_around(static_cast<std::size_t>(entry->heap_index));
  }

  // Takes the timer at `index` out and hands back its reference.
  PyRef remove(std::size_t index) noexcept {
    PyRef removed = std::move(heap_[index]);
    PyRef last = std::move(heap_.back());
    heap_.pop_back();
    if (index < heap_.size()) {
      heap_[index] = std::move(last);
      timer(index)->heap_index = static_cast<Py_ssize_t>(index);
      sift_down(index);
      sift_up(index);
      check_around(index);
    }
    reinterpret_cast<TimerHandleObject*>(removed.get())->heap_index = -1;
    return removed;
  }

  PyRef pop() noexcept { return remove(0); }

  // Everything out, for the caller to release once it may run Python code.
  std::vector<PyRef> take_all() noexcept {
    for (PyRef& entry : heap_) reinterpret_cast<TimerHandleObject*>(entry.get())->heap_index = -1;
    return std::exchange(heap_, {});
  }

  const std::vector<PyRef>& entries() const noexcept { return heap_; }

 private:
  TimerHandleObject* timer(std::size_t index) const noexcept {
    return reinterpret_cast<TimerHandleObject*>(heap_[index].get());
  }
  static bool earlier(const TimerHandleObject* a, const TimerHandleObject* b) noexcept {
    return a->when < b->when || (!(b->when < a->when) && a->sequence < b->sequence);
  }
  // The heap's invariants where an operation just worked: every entry
  // knows its own place, and none is due before its parent. Each operation
  // checks the places it touched, so the checks stay O(log n).
  void check_around([[maybe_unused]] std::size_t index) const noexcept {
#if defined(VELKOR_CHECK_INVARIANTS)
    for (std::size_t at = index; at < heap_.size();) {
      VELKOR_INVARIANT(timer(at)->heap_index == static_cast<Py_ssize_t>(at),
                       "a queued timer knows its place in the heap");
      VELKOR_INVARIANT(at == 0 || !earlier(timer(at), timer((at - 1) / 2)),
                       "no timer is due before its parent");
      for (std::size_t child = 2 * at + 1; child <= 2 * at + 2 && child < heap_.size(); ++child) {
        VELKOR_INVARIANT(!earlier(timer(child), timer(at)), "no timer is due before its parent");
      }
      if (at == 0) break;
      at = (at - 1) / 2;
    }
#endif
  }

  void swap_entries(std::size_t a, std::size_t b) noexcept {
    std::swap(heap_[a], heap_[b]);
    timer(a)->heap_index = static_cast<Py_ssize_t>(a);
    timer(b)->heap_index = static_cast<Py_ssize_t>(b);
  }
  void sift_up(std::size_t index) noexcept {
    while (index > 0) {
      const std::size_t parent = (index - 1) / 2;
      if (!earlier(timer(index), timer(parent))) return;
      swap_entries(index, parent);
      index = parent;
    }
  }
  void sift_down(std::size_t index) noexcept {
    for (;;) {
      const std::size_t left = 2 * index + 1;
      if (left >= heap_.size()) return;
      std::size_t first = left;
      if (left + 1 < heap_.size() && earlier(timer(left + 1), timer(left))) first = left + 1;
      if (!earlier(timer(first), timer(index))) return;
      swap_entries(index, first);
      index = first;
    }
  }

  std::vector<PyRef> heap_;
  std::uint64_t next_sequence_ = 0;
};

}  // namespace velkorio
