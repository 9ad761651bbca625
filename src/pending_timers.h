#pragma once
// The handles of a loop's sleeping timers, kept where the cyclic garbage
// collector can see them.
//
// A pending TimerHandle refers to its loop, and the loop (through the
// runtime) to the handle: without this list such a cycle could never be
// freed. Each timer task owns one Record; the list links the records under
// a mutex that worker threads take only briefly and never while waiting for
// the interpreter lock, so the collector (which holds that lock) may take it.

#include <Python.h>

#include <memory>
#include <mutex>
#include <vector>

#include "pyref.h"

namespace velkor {

class PendingTimers : public std::enable_shared_from_this<PendingTimers> {
 public:
  class Record {
   public:
    Record(std::shared_ptr<PendingTimers> owner, PyRef handle);
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    // The handle, on expiry; empty when the collector has cleared it.
    PyRef take();

   private:
    friend class PendingTimers;
    std::shared_ptr<PendingTimers> owner_;
    Record* prev_ = nullptr;
    Record* next_ = nullptr;
    PyRef handle_;
  };

  static std::shared_ptr<PendingTimers> create() { return std::make_shared<PendingTimers>(); }

  std::unique_ptr<Record> add(PyRef handle);

  // Holds the list still while `body` runs, so no handle leaves a record
  // for the loop's queue meanwhile (the collector must see each reference
  // once). `body` gets a function that visits every pending handle.
  template <typename Body>
  int while_still(Body&& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    return body([this](visitproc visit, void* arg) {
      for (Record* record = first_; record != nullptr; record = record->next_) {
        Py_VISIT(record->handle_.get());
      }
      return 0;
    });
  }

  // Takes every pending handle; the caller releases them, unlocked.
  std::vector<PyRef> take_all();

 private:
  std::mutex mutex_;
  Record* first_ = nullptr;
};

}  // namespace velkor
