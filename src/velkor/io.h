#pragma once
// The loop's I/O registry: per descriptor and direction, the abort handle of
// the watch task that posts its callback whenever the descriptor is ready.

#include <memory>
#include <sys/types.h>
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

// Which file a descriptor number named when its watch was asked for: its
// identity, or the error (EBADF) when the number was not open. Noted on the
// caller's thread with one fstat, so that a watch that registers later, on a
// worker, can tell whether the number still names that file.
struct FdIdentity {
  int error = 0;
  dev_t device = 0;
  ino_t inode = 0;

  static FdIdentity of(int fd) noexcept;
  bool operator==(const FdIdentity&) const = default;
};

class WatchTask;

// Requests the cancellation of one watch task; keeps neither the task nor
// its target alive. It reaches the target on its own, since the target can
// outlive the task: a replacing watch that parks in the same registration
// slot ends the task while its calls may still be queued, and those must
// see the `removed` flag.
class AbortHandle {
 public:
  AbortHandle() = default;
  AbortHandle(std::weak_ptr<WatchTask> task, std::weak_ptr<WatchTarget> target)
      : task_(std::move(task)), target_(std::move(target)) {}
  // A task that cancelling unparks ends here, and may release Python
  // references: callers hold a DeferHere while they hold the registry.
  void abort();
  std::shared_ptr<WatchTarget> target() const { return target_.lock(); }

 private:
  std::weak_ptr<WatchTask> task_;
  std::weak_ptr<WatchTarget> target_;
};

// Every operation may end watch tasks and so release Python references:
// callers hold a deferred::DeferHere while they hold the registry.
class IoRegistry {
 public:
  IoRegistry(LoopChannel::Sender sender, rt::RuntimeHandle runtime_handle);

  // Starts a watch, replacing the direction's previous one on `fd`. Throws
  // std::bad_alloc, leaving the registry as it was, or when the new watch
  // cannot be started, without either watch.
  // With `start_here` (the caller is the thread running the loop, which
  // owns the poller) the watch registers at once, on this thread, instead
  // of on a worker that would have to be woken for it.
  void add(rt::Direction direction, int fd, PyRef callback, PyRef args, bool start_here);
  // Whether there was a watch to remove.
  bool remove(rt::Direction direction, int fd);

  // The targets of the live watches.
  std::vector<std::shared_ptr<WatchTarget>> targets() const;
  // Cancels every watch.
  void remove_all();

 private:
  using Watches = std::unordered_map<int, AbortHandle>;
  Watches& watches(rt::Direction direction) {
    return direction == rt::Direction::read ? readers : writers;
  }

  Watches readers;
  Watches writers;
  LoopChannel::Sender sender;
  rt::RuntimeHandle runtime_handle;
};

}  // namespace velkor
