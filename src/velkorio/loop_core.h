#pragma once
// LoopCore: the native base of velkorio.Loop. It owns the queue of ready
// handles and the timer queue, and runs the loop's iterations: the part of
// asyncio's BaseEventLoop that every callback goes through. The rest of the
// loop (transports, servers, executors, signals) is asyncio's own, mixed in
// by the Python class.
//
// Everything here runs with the interpreter lock held, on whichever thread
// calls; call_soon_threadsafe and cancel() from other threads are safe
// because each is one step under that lock.

#include <Python.h>

#include "handle.h"
#include "module_state.h"
#include "write_batch.h"

namespace velkorio {

bool init_loop_core_type(PyObject* module, ModuleState& state);

inline bool is_loop_core(const ModuleState& state, PyObject* object) {
  return object != nullptr && PyObject_TypeCheck(object, state.loop_core_type);
}
// The state of the module that made the loop's type.
ModuleState& loop_core_module(PyObject* loop);
bool loop_core_debug(PyObject* loop);
bool loop_core_closed(PyObject* loop);
// The loop's selector (asyncio's `_selector` attribute), or null with the
// error set.
PyRef loop_core_selector(PyObject* loop);

// Whether the loop's next iteration would do nothing but run the reader of
// the one descriptor it watches (besides its wake-up pipe): no callback
// ready, no timer due, no stop due, no signal handler. -1 with the error
// set when the loop's own time() failed.
int loop_core_only_reader_ready(PyObject* loop);

// The writes the loop's transports hold until its pass ends.
WriteBatch* loop_core_write_batch(PyObject* loop);

// A queued timer was cancelled: it leaves the queue now and drops what it
// holds.
void loop_core_timer_cancelled(PyObject* loop, TimerHandleObject* timer);

}  // namespace velkorio
