#pragma once
// Handle and TimerHandle: what call_soon and call_later return, with
// asyncio's interface (cancel, cancelled, when, get_context, the private
// attributes asyncio's own code reads) but run from native code: a callback
// costs one context switch and one vectorcall, not a Python method.

#include <Python.h>

#include <cstdint>
#include <memory>

#include "core/pyref.h"
#include "module_state.h"

namespace velkorio {

using velkor::PyRef;

// What only debug mode keeps: most handles never allocate it.
struct HandleDebugFields {
  PyRef source_traceback;  // a list of frame summaries
  PyRef repr;              // kept at cancel
};

// A burst of call_soon keeps every handle alive at once, so their size is
// the fresh memory the burst touches: with the collector's header a handle
// takes 80 bytes (asyncio's takes 96). Hence no separate cancelled flag, the
// debug-only fields behind one pointer and the weak-reference list in the
// object rather than in a managed pre-header.
struct HandleFields {
  PyRef callback;  // None once cancelled
  PyRef args;      // a tuple; null once cancelled (asyncio's _args is then None)
  PyRef loop;
  PyRef context;
  std::unique_ptr<HandleDebugFields> debug;

  bool cancelled() const noexcept { return !args; }
  PyObject* source_traceback() const noexcept {
    return debug ? debug->source_traceback.get() : nullptr;
  }
};

// The weak-reference list sits at a fixed offset in a standard-layout head,
// where the type's weaklistoffset can name it.
struct HandleHead {
  PyObject_HEAD
  PyObject* weakrefs;
};

struct HandleObject {
  HandleHead head;
  HandleFields f;  // constructed in place by make_handle, destroyed by dealloc
};

struct TimerHandleObject {
  HandleObject base;
  double when;
  std::uint64_t sequence;  // ties between equal deadlines run in call order
  Py_ssize_t heap_index;   // -1 while not in the loop's timer queue
};

bool init_handle_types(PyObject* module, ModuleState& state);

inline bool is_handle(const ModuleState& state, PyObject* object) {
  return PyObject_TypeCheck(object, state.handle_type);
}
inline bool is_timer_handle(const ModuleState& state, PyObject* object) {
  return PyObject_TypeCheck(object, state.timer_handle_type);
}

// A new handle for `callback(*args)` in `context` (a copy of the current
// context when null). `args` must be a tuple. Captures the caller's stack
// when the loop is in debug mode.
PyRef make_handle(ModuleState& state, PyObject* loop, PyObject* callback, PyObject* args,
                  PyObject* context, bool debug);
PyRef make_timer_handle(ModuleState& state, PyObject* loop, double when, PyObject* callback,
                        PyObject* args, PyObject* context, bool debug);

// Runs the handle's callback in its context. An exception other than
// SystemExit and KeyboardInterrupt goes to the loop's exception handler;
// those two (and a failing handler) return -1 with the exception set.
int run_handle(ModuleState& state, HandleObject* handle);

// Runs callback(*args) in context for `self`, a handle of `loop`, with the
// error handling run_handle describes. `args` must be a tuple;
// `source_traceback` may be null.
int run_callback(ModuleState& state, PyObject* self, PyObject* loop, PyObject* callback, PyObject* args,
                 PyObject* context, PyObject* source_traceback);

}  // namespace velkorio
