// Cyclic garbage collection for loops.
//
// asyncio handles refer to their loop, and a loop holds handles (queued
// messages, sleeping timers) and watch callbacks that may refer back to it.
// The collector sees those references through traverse and breaks them
// through clear. Every lock taken here is one that no holder keeps while it
// waits for the interpreter lock (the collector runs with it), and each
// reference is visited once: a watch target shared by several messages
// counts once, and the timer list stays still while the queue is walked so
// no handle is seen both in its timer and in the queue.

#include <unordered_set>
#include <vector>

#include "event_loop/event_loop.h"

namespace velkor {

namespace {

// The objects the loop's native state holds, each reference once.
void collect_held(VelkorEventLoop& state, std::vector<PyObject*>& held) {
  std::unordered_set<WatchTarget*> targets;
  auto add_target = [&](WatchTarget* target) {
    if (target != nullptr && targets.insert(target).second) {
      held.push_back(target->callback.get());
      held.push_back(target->args.get());
    }
  };
  {
    // Queued messages are reachable only while no run has the receiver;
    // a running loop is referenced by its run anyway.
    auto slot = state.receiver->lock();
    if (slot && slot->has_value()) {
      (*slot)->for_each_queued([&](const LoopMessage& message) {
        if (const auto* run = std::get_if<RunHandle>(&message)) {
          held.push_back(run->handle.get());
        } else if (const auto* callback = std::get_if<Callback>(&message)) {
          add_target(callback->target.get());
        }
      });
    }
  }
  auto registry = state.io_registry->lock();
  if (registry) {
    for (const auto& target : registry->targets()) add_target(target.get());
  }
}

}  // namespace

void clear_held(VelkorEventLoop& state);

int loop_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  VelkorEventLoop& state = as_loop(self)->state();
  if (!state.timers) return 0;  // not built yet, or torn down
  // A watch task let go of here may be the last owner of its target; no
  // Python code may run inside traverse, so such releases wait.
  const deferred::DeferHere nothing_runs_here;
  std::vector<PyObject*> held;
  int stopped = 0;
  try {
    held.reserve(64);
    stopped = state.timers->while_still([&](auto visit_timers) {
      const int result = visit_timers(visit, arg);
      if (result == 0) collect_held(state, held);
      return result;
    });
  } catch (const std::exception&) {
    return 0;  // out of memory: visiting less only keeps objects alive
  }
  if (stopped != 0) return stopped;
  // Nothing can release these meanwhile: that needs the interpreter lock.
  for (PyObject* object : held) Py_VISIT(object);
  return 0;
}

int loop_clear(PyObject* self) {
  try {
    clear_held(as_loop(self)->state());
  } catch (const std::exception&) {
    // Out of memory: what was not taken stays until the loop is freed.
  }
  return 0;
}

void clear_held(VelkorEventLoop& state) {
  if (!state.timers) return;
  // Everything is taken out under the locks and released after them, since
  // a release can run any Python code.
  std::vector<PyRef> timers = state.timers->take_all();
  std::vector<LoopMessage> queued;
  {
    const deferred::DeferHere no_python_under_the_lock;
    auto slot = state.receiver->lock();
    if (slot && slot->has_value()) {
      while (auto message = (*slot)->try_recv()) queued.push_back(std::move(*message));
    }
  }
  std::vector<std::shared_ptr<WatchTarget>> targets;
  std::vector<std::shared_ptr<void>> watches;
  {
    const deferred::DeferHere no_python_under_the_lock;
    auto registry = state.io_registry->lock();
    if (registry) {
      targets = registry->targets();
      watches = registry->remove_all();
    }
  }
  std::vector<PyRef> references;
  for (auto& target : targets) {
    references.push_back(std::move(target->callback));
    references.push_back(std::move(target->args));
  }
}

}  // namespace velkor
