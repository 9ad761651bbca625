// Cyclic garbage collection for loops.
//
// asyncio handles refer to their loop, and a loop holds handles (queued
// messages, sleeping timers) and watch callbacks that may refer back to it.
// The collector sees those references through traverse and breaks them
// through clear.
//
// One collection calls traverse several times, and what it reports must not
// change in between: a reference reported once and missed later makes its
// object look unreachable while we still hold it. So:
// - while a run holds the receiver, the sleeping timers and the queue are
//   not reported at all: workers move handles from one to the other then,
//   and the run's own reference keeps the loop reachable anyway; taking or
//   returning the receiver needs the interpreter lock, which the collector
//   holds throughout;
// - while the loop is idle, both are reported under the timer table's lock,
//   which a firing timer holds across its move into the queue;
// - watch targets are reported once each, however many messages share them.
// Every lock taken here is one that no holder keeps while it waits for the
// interpreter lock.

#include <unordered_set>
#include <vector>

#include "event_loop/event_loop.h"

namespace velkor {

namespace {

// The objects the loop's queue and registry hold, each reference once.
// `queue` is null while a run holds the receiver.
void collect_held(VelkorEventLoop& state, bool with_queue, std::vector<PyObject*>& held) {
  std::unordered_set<WatchTarget*> targets;
  auto add_target = [&](WatchTarget* target) {
    if (target != nullptr && targets.insert(target).second) {
      held.push_back(target->callback.get());
      held.push_back(target->args.get());
    }
  };
  if (with_queue) {
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

bool run_in_progress(VelkorEventLoop& state) {
  auto slot = state.receiver->lock();
  return slot && !slot->has_value();
}

}  // namespace

void clear_held(VelkorEventLoop& state);

int loop_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  VelkorEventLoop& state = as_loop(self)->state();
  // A watch task let go of here may be the last owner of its target; no
  // Python code may run inside traverse, so such releases wait.
  const deferred::DeferHere nothing_runs_here;
  std::vector<PyObject*> held;
  try {
    held.reserve(64);
    if (run_in_progress(state)) {
      collect_held(state, false, held);
    } else {
      const int stopped = state.timers->visit(visit, arg, [&] { collect_held(state, true, held); });
      if (stopped != 0) return stopped;
    }
  } catch (const std::exception&) {
    // Out of memory: report none of the rest, in this pass and (for want of
    // memory) most likely the next; reporting less only keeps objects alive.
    return 0;
  }
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
  // Everything is taken out under the locks and released after them, since
  // a release can run any Python code.
  std::vector<PyRef> timers = state.timers->take_all();
  std::vector<LoopMessage> queued;
  std::vector<std::shared_ptr<WatchTarget>> targets;
  {
    const deferred::DeferHere no_python_under_the_lock;
    {
      auto slot = state.receiver->lock();
      if (slot && slot->has_value()) {
        while (auto message = (*slot)->try_recv()) queued.push_back(std::move(*message));
      }
    }
    auto registry = state.io_registry->lock();
    if (registry) {
      targets = registry->targets();
      registry->remove_all();
    }
  }
  std::vector<PyRef> references;
  for (auto& target : targets) {
    references.push_back(std::move(target->callback));
    references.push_back(std::move(target->args));
  }
  deferred::release_pending();
}

}  // namespace velkor
