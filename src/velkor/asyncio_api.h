#pragma once
// Every use the loop makes of the interpreter's asyncio package.
//
// The loop has no handle, timer-handle, task or future type of its own: it
// calls asyncio's. The module is looked up on each use (through sys.modules,
// importing it when it is not there) and so are its attributes, so a patched
// asyncio is honoured. Exceptions from these calls pass to the caller.

#include <Python.h>

#include "core/pyref.h"

namespace velkor::asyncio {

// Interned names and keyword tuples; once, at module initialisation.
bool init();

PyRef import_asyncio();
PyRef import_events();

// asyncio.Handle(callback, args, loop=loop[, context=context])
PyRef new_handle(PyObject* asyncio, PyObject* callback, PyObject* args, PyObject* loop,
                 PyObject* context);
// asyncio.TimerHandle(when, callback, args, loop=loop[, context=context])
PyRef new_timer_handle(PyObject* asyncio, double when, PyObject* callback, PyObject* args,
                       PyObject* loop, PyObject* context);
// asyncio.Task(coro[, name=name][, context=context][, loop=loop]); null
// `name`, `context` or `loop` leave the keyword out.
PyRef new_task(PyObject* asyncio, PyObject* coro, PyObject* name, PyObject* context,
               PyObject* loop);

// asyncio.get_running_loop() is `loop`. An exception from the call means no
// loop runs here and is discarded.
bool is_running_loop(PyObject* asyncio, PyObject* loop);

// asyncio.events._set_running_loop(loop), skipped when the function is
// missing. Returns false with an exception set on failure.
bool set_running_loop(PyObject* events, PyObject* loop);

// asyncio.events._get_running_loop(): the loop this thread runs, or None;
// None too when the function is missing. Null with an exception set on
// failure.
PyRef running_loop(PyObject* events);

// bool(asyncio.isfuture(object)): 1, 0, or -1 with an exception set.
int is_future(PyObject* asyncio, PyObject* object);

// future.add_done_callback(callback), its result dropped.
bool add_done_callback(PyObject* future, PyObject* callback);
// future.result()
PyRef result(PyObject* future);

// Runs a posted handle: handle._run(), unless handle.cancelled() is true (a
// cancelled handle has let go of its callback). An object without
// `cancelled` is run. Returns false with an exception set on failure.
bool run_handle(PyObject* handle);

}  // namespace velkor::asyncio
