#pragma once
// asyncio's _ThreadSafeHandle, what call_soon_threadsafe returns (asyncio's
// own tests check that it is one), made and run here instead of by its
// Python __init__ and _run: the object is asyncio's, its slots written and
// read through the class's own member descriptors, its lock the
// threading.RLock asyncio gives it. Run holds that lock around the callback
// as asyncio's _run does, so that cancel() from another thread waits for a
// run in progress.

#include <Python.h>

#include "core/pyref.h"
#include "module_state.h"

namespace velkorio {

// Looks up what the rest needs. False with the error set.
bool init_threadsafe_handles(ModuleState& state);

// A new _ThreadSafeHandle of `loop` for callback(*args) in `context` (a
// copy of the current one when null), as its __init__ makes it outside
// debug mode. Null with the error set.
velkor::PyRef make_threadsafe_handle(ModuleState& state, PyObject* loop, PyObject* callback,
                                     PyObject* args, PyObject* context);

// Whether `handle` is exactly asyncio's _ThreadSafeHandle (a subclass may
// have a _run of its own).
bool is_threadsafe_handle(ModuleState& state, PyObject* handle);

// The handle's _run(): 0, or -1 with the error set.
int run_threadsafe_handle(ModuleState& state, PyObject* handle);

}  // namespace velkorio
