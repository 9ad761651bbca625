#pragma once
// LoopMessage: what the loop's channel carries to the thread in run_forever.

#include <atomic>
#include <memory>
#include <variant>

#include "core/pyref.h"
#include "runtime/channel.h"

namespace velkor {

// A watch's callable and argument tuple, shared by the watch and by every
// Callback message it posts, so that a worker can post without touching a
// reference count. The last owner to let go releases the two references
// (under the interpreter lock, or through the deferred-release list).
struct WatchTarget {
  WatchTarget(PyRef callback, PyRef args)
      : callback(std::move(callback)), args(std::move(args)) {}

  // Read and reset only under the interpreter lock (workers never touch
  // them); the collector's clear may reset them to break a cycle.
  PyRef callback;
  PyRef args;
  // Set by the watch when it reports readiness and a closed condition in one
  // message: once that message has run, the run loop posts the callback one
  // more time, so that a callback that read only the data still sees the
  // end of file. Not once the watch is removed.
  std::atomic<bool> follow_up{false};
  // True while a call of this watch waits in the queue; the run loop resets
  // it as the call starts, so that an event during the call queues another.
  std::atomic<bool> queued{false};
  // Set, under the registry lock, when the watch is removed or replaced: its
  // task stops at its next look, and the run loop skips its queued calls.
  std::atomic<bool> removed{false};
};

// An asyncio Handle or TimerHandle: the run loop calls its _run().
struct RunHandle {
  PyRef handle;
};

// A readiness callback: the run loop calls callback(*args).
struct Callback {
  std::shared_ptr<WatchTarget> target;
};

// Ends the run that receives it.
struct Stop {};

using LoopMessage = std::variant<RunHandle, Callback, Stop>;
using LoopChannel = rt::Channel<LoopMessage>;

}  // namespace velkor
