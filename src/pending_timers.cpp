#include "pending_timers.h"

namespace velkor {

PendingTimers::Record::Record(std::shared_ptr<PendingTimers> owner, PyRef handle)
    : owner_(std::move(owner)), handle_(std::move(handle)) {}

PendingTimers::Record::~Record() {
  std::lock_guard<std::mutex> lock(owner_->mutex_);
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    owner_->first_ = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
  // handle_, if still here, goes after the lock is released.
}

PyRef PendingTimers::Record::take() {
  std::lock_guard<std::mutex> lock(owner_->mutex_);
  return std::move(handle_);
}

std::unique_ptr<PendingTimers::Record> PendingTimers::add(PyRef handle) {
  auto record = std::make_unique<Record>(shared_from_this(), std::move(handle));
  std::lock_guard<std::mutex> lock(mutex_);
  record->next_ = first_;
  if (first_ != nullptr) first_->prev_ = record.get();
  first_ = record.get();
  return record;
}

std::vector<PyRef> PendingTimers::take_all() {
  std::vector<PyRef> taken;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Record* record = first_; record != nullptr; record = record->next_) {
    if (record->handle_) taken.push_back(std::move(record->handle_));
  }
  return taken;
}

}  // namespace velkor
