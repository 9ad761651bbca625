#pragma once
// The handles of a loop's sleeping timers, kept where the cyclic garbage
// collector and cancellation can find them.
//
// A pending TimerHandle refers to its loop, and the loop (through the
// runtime) to the handle: without this table such a cycle could never be
// freed. Each timer task owns one Record; the table maps each handle still
// pending to its record, under a mutex that worker threads take only briefly
// and never while waiting for the interpreter lock, so the collector (which
// holds that lock) may take it.

#include <Python.h>

#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "messages.h"
#include "core/pyref.h"
#include "runtime/timer_queue.h"

namespace velkor {

class PendingTimers : public std::enable_shared_from_this<PendingTimers> {
 public:
  class Record {
   public:
    Record(std::shared_ptr<PendingTimers> owner, PyRef handle, rt::TimerQueue::Id id);
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    // On expiry: moves the handle into the loop's channel, in one step as
    // far as the collector can tell. Nothing is posted when the handle was
    // cancelled or cleared meanwhile, or the channel is closed.
    void post(LoopChannel::Sender& sender, LoopChannel::Reservation& reservation);

   private:
    friend class PendingTimers;
    std::shared_ptr<PendingTimers> owner_;
    PyObject* key_;  // the handle's address, the record's key in the table
    rt::TimerQueue::Id id_;
    PyRef handle_;
  };

  static std::shared_ptr<PendingTimers> create() { return std::make_shared<PendingTimers>(); }

  // Throws std::bad_alloc, leaving the table as it was.
  std::unique_ptr<Record> add(PyRef handle, rt::TimerQueue::Id id);

  // Takes the handle of a still pending timer out of the table; the caller
  // cancels the timer with the id and releases the handle. Needs the
  // interpreter lock (the key is compared with live objects only).
  std::optional<rt::TimerQueue::Id> take(PyObject* handle, PyRef& taken);

  // Visits every pending handle, and runs `also` with the table still, so
  // that no handle moves from here into the channel meanwhile.
  template <typename Also>
  int visit(visitproc visit, void* arg, Also&& also) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, record] : by_handle_) Py_VISIT(record->handle_.get());
    also();
    return 0;
  }

  // Takes every pending handle; the caller releases them, unlocked.
  std::vector<PyRef> take_all();

 private:
  std::mutex mutex_;
  std::unordered_map<PyObject*, Record*> by_handle_;
};

}  // namespace velkor
