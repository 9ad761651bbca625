#pragma once
// Handle and TimerHandle: what call_soon and call_later return, with
// asyncio's interface (cancel, cancelled, when, get_context, the private
// attributes asyncio's own code reads) but run from native code: a callback
// costs one context switch and one vectorcall, not a Python method.

#include <Python.h>

#include <cstdint>

#include "core/pyref.h"

namespace velkorio {

using velkor::PyRef;

struct HandleFields {
  PyRef callback;
  PyRef args;  // a tuple
  PyRef loop;
  PyRef context;
  PyRef source_traceback;  // a list of frame summaries in debug mode, else null
  PyRef repr;              // kept at cancel in debug mode
  bool cancelled = false;
};

struct HandleObject {
  PyObject_HEAD
  HandleFields f;  // constructed in place by make_handle, destroyed by dealloc
};

struct TimerHandleObject {
  HandleObject base;
  double when;
  std::uint64_t sequence;  // ties between equal deadlines run in call order
  Py_ssize_t heap_index;   // -1 while not in the loop's timer queue
};

PyTypeObject* handle_type();
PyTypeObject* timer_handle_type();
bool init_handle_types(PyObject* module);

inline bool is_handle(PyObject* object) { return PyObject_TypeCheck(object, handle_type()); }
inline bool is_timer_handle(PyObject* object) {
  return PyObject_TypeCheck(object, timer_handle_type());
}

// A new handle for `callback(*args)` in `context` (a copy of the current
// context when null). `args` must be a tuple. Captures the caller's stack
// when the loop is in debug mode.
PyRef make_handle(PyObject* loop, PyObject* callback, PyObject* args, PyObject* context,
                  bool debug);
PyRef make_timer_handle(PyObject* loop, double when, PyObject* callback, PyObject* args,
                        PyObject* context, bool debug);

// Runs the handle's callback in its context. An exception other than
// SystemExit and KeyboardInterrupt goes to the loop's exception handler;
// those two (and a failing handler) return -1 with the exception set.
int run_handle(HandleObject* handle);

}  // namespace velkorio
