#pragma once
// The loop's multi-thread runtime: an Asio io_context run by a fixed set of
// worker threads named "velkor-worker", with a timer per scheduled sleep and
// the readiness poller driven from the same workers.
//
// Nothing here knows about Python. Work handed to the runtime must not need
// the interpreter lock: the workers never take it.

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/poll_gate.h"
#include "runtime/readiness.h"
#include "runtime/timer_queue.h"
#include "runtime/watchdog.h"

namespace velkor::rt {

// The worker count: TOKIO_WORKER_THREADS when set (a positive whole number,
// else WorkerCountError), otherwise the CPUs this process may run on.
std::size_t worker_count_from_environment();

struct RuntimeCore {
  RuntimeCore();
  ~RuntimeCore();
  asio::io_context io;
  std::shared_ptr<Poller> poller;
  TimerQueue timers{*poller};
  PollGate gate;
  // Bound to `io`, so these go first.
  std::unique_ptr<ReadinessPump> pump;
  std::unique_ptr<Watchdog> watchdog;
};

// A cheap shared copy through which work is spawned on the runtime.
class RuntimeHandle {
 public:
  explicit RuntimeHandle(std::shared_ptr<RuntimeCore> core) : core_(std::move(core)) {}

  // Runs `task` on a worker thread.
  template <typename Work>
  void spawn(Work&& task) const {
    asio::post(core_->io, std::forward<Work>(task));
  }

  // The id of a timer due `delay` after `start` (saturating at the clock's
  // far end, which never comes). Callers that measured the delay against a
  // clock reading of their own pass that moment, so time spent before
  // scheduling does not push the deadline back.
  TimerQueue::Id timer_id(std::chrono::steady_clock::time_point start,
                          std::chrono::steady_clock::duration delay) const;

  // Runs `task` on a worker thread once the timer `id` is due. Dropped unrun
  // if the runtime shuts down first. Throws std::bad_alloc.
  template <typename Work>
  void spawn_at(TimerQueue::Id id, Work&& task) const {
    core_->timers.schedule(id, rt::Task(std::forward<Work>(task)));
  }

  // Runs `task` on a worker thread once `delay` has passed.
  template <typename Work>
  void spawn_after(std::chrono::steady_clock::duration delay, Work&& task) const {
    spawn_at(timer_id(std::chrono::steady_clock::now(), delay), std::forward<Work>(task));
  }

  // Takes a timer out unrun, if it has not fired yet.
  void cancel_timer(TimerQueue::Id id) const { core_->timers.cancel(id); }

  const std::shared_ptr<Poller>& poller() const { return core_->poller; }

  // The loop's thread takes the poller for a run and gives it back after
  // (see PollGate and LoopPolling).
  PollGate& gate() const { return core_->gate; }
  Watchdog& watchdog() const { return *core_->watchdog; }
  void resume_pump() const;

 private:
  std::shared_ptr<RuntimeCore> core_;
};

class Runtime {
 public:
  // Starts `workers` threads. Throws RuntimeBuildError with the OS error
  // text when a thread or the epoll instance cannot be made.
  explicit Runtime(std::size_t workers);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  RuntimeHandle handle() const { return RuntimeHandle(core_); }
  std::size_t worker_count() const { return workers_.size(); }

  // Stops the scheduler, ends every readiness wait and joins the workers.
  // Work still queued or sleeping is destroyed, unrun, with the last handle.
  // Must not be called on a worker thread.
  void shut_down();

 private:
  std::shared_ptr<RuntimeCore> core_;
  std::vector<std::thread> workers_;
};

}  // namespace velkor::rt
