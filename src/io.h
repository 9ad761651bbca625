#pragma once
// The loop's I/O registry: per descriptor and direction, the abort handle of
// the watch task that posts its callback whenever the descriptor is ready.

#include <memory>
#include <unordered_map>
#include <vector>

#include "messages.h"
#include "runtime/readiness.h"
#include "runtime/runtime.h"

namespace velkor {

// A descriptor number handed to the readiness driver. Never closes it: the
// descriptor stays the Python caller's.
struct FdWrapper {
  int fd;
};

class WatchTask;

// Requests the cancellation of one watch task; does not keep it alive.
class AbortHandle {
 public:
  explicit AbortHandle(std::weak_ptr<WatchTask> task) : task_(std::move(task)) {}
  // Returns the task if cancelling unparked it; the caller drops it once it
  // holds none of its own locks, since that releases Python references.
  std::shared_ptr<void> abort();
  std::shared_ptr<WatchTarget> target() const;

 private:
  std::weak_ptr<WatchTask> task_;
};

class IoRegistry {
 public:
  IoRegistry(LoopChannel::Sender sender, rt::RuntimeHandle runtime_handle);

  // Each returns what the caller must release after unlocking the registry.
  [[nodiscard]] std::shared_ptr<void> add_reader(int fd, PyRef callback, PyRef args);
  [[nodiscard]] std::shared_ptr<void> add_writer(int fd, PyRef callback, PyRef args);
  [[nodiscard]] std::shared_ptr<void> remove_reader(int fd);
  [[nodiscard]] std::shared_ptr<void> remove_writer(int fd);

  // The targets of the live watches.
  std::vector<std::shared_ptr<WatchTarget>> targets() const;
  // Cancels every watch; returns what the caller must release, unlocked.
  [[nodiscard]] std::vector<std::shared_ptr<void>> remove_all();

 private:
  using Watches = std::unordered_map<int, AbortHandle>;
  std::shared_ptr<void> add(Watches& watches, rt::Direction direction, int fd, PyRef callback,
                            PyRef args);
  static std::shared_ptr<void> remove(Watches& watches, int fd);

  Watches readers;
  Watches writers;
  LoopChannel::Sender sender;
  rt::RuntimeHandle runtime_handle;
};

}  // namespace velkor
