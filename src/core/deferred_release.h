#pragma once
// References dropped by threads that do not hold the interpreter lock.
//
// Invariant: worker threads never take the interpreter lock. A Python
// reference that ends its life on such a thread (a message dropped there, a
// timer or watch that ends, a runtime shutting down) is parked in one
// process-wide list instead, and released the next time a thread that holds
// the lock enters the module: on entry to every method, for every message the
// run loop handles, and at loop teardown. This is what lets teardown wait for
// the workers while it holds the interpreter lock.

#include <Python.h>

#include <atomic>

// The list is one per extension module: each module links its own copy of
// the core, with hidden symbols, and drains the list on its own entries, so
// what one module's workers leave is released by that module's next call.
// One list for the process would need a symbol exported between modules,
// and would release nothing sooner.
namespace velkor::deferred {

// Queues `object` (an owned reference) for release under the lock.
void release_later(PyObject* object) noexcept;

namespace detail {
extern std::atomic<bool> pending;
void release_pending();
// Set while a DeferHere lives on this thread.
extern thread_local bool defer_here __attribute__((tls_model("initial-exec")));
}  // namespace detail

// While one lives, releases on this thread are deferred even with the
// interpreter lock held. Held across our own critical sections (no Python
// code may run under our locks) and the collector's traverse (none may run
// there at all); the caller releases what was deferred once it may.
class DeferHere {
 public:
  DeferHere() noexcept : previous_(detail::defer_here) { detail::defer_here = true; }
  ~DeferHere() { detail::defer_here = previous_; }
  DeferHere(const DeferHere&) = delete;
  DeferHere& operator=(const DeferHere&) = delete;

 private:
  bool previous_;
};

// Releases everything queued. Needs the interpreter lock. The list's mutex is
// never held while a release runs: a release can run any Python code,
// including code that enters the module again.
inline void release_pending() {
  if (detail::pending.load(std::memory_order_acquire)) detail::release_pending();
}

}  // namespace velkor::deferred
