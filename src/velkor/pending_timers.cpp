#include "pending_timers.h"

namespace velkor {

PendingTimers::Record::Record(std::shared_ptr<PendingTimers> owner, PyRef handle,
                              rt::TimerQueue::Id id)
    : owner_(std::move(owner)), key_(handle.get()), id_(id), handle_(std::move(handle)) {}

PendingTimers::Record::~Record() {
  std::lock_guard<std::mutex> lock(owner_->mutex_);
  auto found = owner_->by_handle_.find(key_);
  if (found != owner_->by_handle_.end() && found->second == this) owner_->by_handle_.erase(found);
  // handle_, if still here, goes after the lock is released (deferred: this
  // runs on a worker, or at shutdown).
}

void PendingTimers::Record::post(LoopChannel::Sender& sender,
                                 LoopChannel::Reservation& reservation) {
  std::lock_guard<std::mutex> lock(owner_->mutex_);
  if (!handle_) return;  // cancelled or cleared
  owner_->by_handle_.erase(key_);
  LoopMessage message{RunHandle{std::move(handle_)}};
  // A closed channel leaves the message here; its handle is released with
  // this frame, through the deferred list.
  (void)sender.try_post(reservation, std::move(message));
}

std::unique_ptr<PendingTimers::Record> PendingTimers::add(PyRef handle, rt::TimerQueue::Id id) {
  auto record = std::make_unique<Record>(shared_from_this(), PyRef(), id);
  std::lock_guard<std::mutex> lock(mutex_);
  record->key_ = handle.get();
  by_handle_.insert_or_assign(handle.get(), record.get());  // may throw: nothing changed
  record->handle_ = std::move(handle);
  return record;
}

std::optional<rt::TimerQueue::Id> PendingTimers::take(PyObject* handle, PyRef& taken) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = by_handle_.find(handle);
  if (found == by_handle_.end()) return std::nullopt;
  Record* record = found->second;
  by_handle_.erase(found);
  taken = std::move(record->handle_);
  return record->id_;
}

std::vector<PyRef> PendingTimers::take_all() {
  std::vector<PyRef> taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken.reserve(by_handle_.size());
  for (auto& [key, record] : by_handle_) taken.push_back(std::move(record->handle_));
  by_handle_.clear();
  return taken;
}

}  // namespace velkor
