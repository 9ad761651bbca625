#include "handle.h"

#include <cstddef>
#include <memory>
#include <new>

#include "loop_core.h"

namespace velkorio {
namespace {

HandleObject* as_handle(PyObject* self) { return reinterpret_cast<HandleObject*>(self); }
TimerHandleObject* as_timer(PyObject* self) { return reinterpret_cast<TimerHandleObject*>(self); }

// The state of the module of `self`, one of our handles.
ModuleState& state_of_handle(PyObject* self) {
  // A handle's type is ours or derives from ours: this cannot fail.
  return *state_of_type(Py_TYPE(self));
}

// loop.get_debug() as a truth value: -1 on error.
int loop_debug(const ModuleState& state, PyObject* loop) {
  if (loop == nullptr) return 0;
  if (is_loop_core(state, loop)) return loop_core_debug(loop) ? 1 : 0;
  PyRef value = PyRef::steal(PyObject_CallMethod(loop, "get_debug", nullptr));
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// format_helpers._format_callback_source(callback, args, debug=...)
PyRef format_callback(const ModuleState& state, PyObject* callback, PyObject* args,
                      PyObject* loop) {
  const int debug = loop_debug(state, loop);
  if (debug < 0) return {};
  PyObject* call_args[] = {callback ? callback : Py_None, args ? args : Py_None,
                           debug ? Py_True : Py_False};
  PyRef names = PyRef::steal(Py_BuildValue("(s)", "debug"));
  if (!names) return {};
  return PyRef::steal(
      PyObject_Vectorcall(state.format_callback_source, call_args, 2, names.get()));
}

// The debug-only fields, allocated on first use. False with the error set.
bool ensure_debug_fields(HandleFields& f) {
  if (f.debug) return true;
  try {
    f.debug = std::make_unique<HandleDebugFields>();
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

int handle_traverse(PyObject* self, visitproc visit, void* arg) {
  HandleFields& f = as_handle(self)->f;
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f.callback.get());
  Py_VISIT(f.args.get());
  Py_VISIT(f.loop.get());
  Py_VISIT(f.context.get());
  if (f.debug) {
    Py_VISIT(f.debug->source_traceback.get());
    Py_VISIT(f.debug->repr.get());
  }
  return 0;
}

int handle_clear(PyObject* self) {
  HandleFields& f = as_handle(self)->f;
  f.callback.reset();
  f.args.reset();
  f.loop.reset();
  f.context.reset();
  f.debug.reset();
  return 0;
}

void handle_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_handle(self)->head.weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  std::destroy_at(&as_handle(self)->f);
  type->tp_free(self);
  Py_DECREF(type);
}

// The words of the repr, as asyncio's Handle._repr_info gives them.
// `cancelled` is passed in: cancel() describes the handle as cancelled while
// its callback and arguments are still there.
PyRef repr_info(PyObject* self, bool cancelled) {
  const ModuleState& state = state_of_handle(self);
  HandleFields& f = as_handle(self)->f;
  PyRef info = PyRef::steal(PyList_New(0));
  if (!info) return {};
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(self)));
  if (!name || PyList_Append(info.get(), name.get()) < 0) return {};
  if (cancelled) {
    PyRef word = PyRef::steal(PyUnicode_FromString("cancelled"));
    if (!word || PyList_Append(info.get(), word.get()) < 0) return {};
  }
  if (f.callback && f.callback.get() != Py_None) {
    PyRef source = format_callback(state, f.callback.get(), f.args.get(), f.loop.get());
    if (!source || PyList_Append(info.get(), source.get()) < 0) return {};
  }
  if (PyObject* list = f.source_traceback();
      list != nullptr && PyList_Check(list) && PyList_GET_SIZE(list) > 0) {
    PyObject* frame = PyList_GET_ITEM(list, PyList_GET_SIZE(list) - 1);
    PyRef file = PyRef::steal(PySequence_GetItem(frame, 0));
    PyRef line = file ? PyRef::steal(PySequence_GetItem(frame, 1)) : PyRef();
    if (!line) return {};
    PyRef word = PyRef::steal(PyUnicode_FromFormat("created at %S:%S", file.get(), line.get()));
    if (!word || PyList_Append(info.get(), word.get()) < 0) return {};
  }
  if (is_timer_handle(state, self)) {
    PyRef when = PyRef::steal(PyFloat_FromDouble(as_timer(self)->when));
    PyRef word = when ? PyRef::steal(PyUnicode_FromFormat("when=%R", when.get())) : PyRef();
    if (!word || PyList_Insert(info.get(), cancelled ? 2 : 1, word.get()) < 0) return {};
  }
  return info;
}

PyObject* handle_repr_info(PyObject* self, PyObject*) {
  return repr_info(self, as_handle(self)->f.cancelled()).release();
}

PyObject* make_repr(PyObject* self, bool cancelled) {
  PyRef info = repr_info(self, cancelled);
  if (!info) return nullptr;
  PyRef space = PyRef::steal(PyUnicode_FromString(" "));
  PyRef joined = space ? PyRef::steal(PyUnicode_Join(space.get(), info.get())) : PyRef();
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("<%U>", joined.get());
}

PyObject* handle_repr(PyObject* self) {
  HandleFields& f = as_handle(self)->f;
  if (f.debug && f.debug->repr) return f.debug->repr.share().release();
  return make_repr(self, f.cancelled());
}

PyObject* handle_cancel(PyObject* self, PyObject*) {
  HandleFields& f = as_handle(self)->f;
  if (f.cancelled()) Py_RETURN_NONE;
  const ModuleState& state = state_of_handle(self);
  if (is_timer_handle(state, self) && as_timer(self)->heap_index >= 0) {
    PyObject* loop = f.loop.get();
    if (is_loop_core(state, loop)) {
      loop_core_timer_cancelled(loop, as_timer(self));
    } else {
      PyRef done = PyRef::steal(PyObject_CallMethod(loop, "_timer_handle_cancelled", "O", self));
      if (!done) return nullptr;
    }
  }
  const int debug = loop_debug(state, f.loop.get());
  if (debug < 0) return nullptr;
  if (debug) {
    // Keeps what the handle was for, since the callback goes now.
    PyRef text = PyRef::steal(make_repr(self, true));
    if (!text || !ensure_debug_fields(f)) return nullptr;
    f.debug->repr = std::move(text);
  }
  // Moved out first: a finalizer run by the release sees a cancelled handle.
  PyRef callback = std::move(f.callback);
  PyRef args = std::move(f.args);
  f.callback = PyRef::borrow(Py_None);
  Py_RETURN_NONE;
}

PyObject* handle_cancelled(PyObject* self, PyObject*) {
  return PyBool_FromLong(as_handle(self)->f.cancelled());
}

PyObject* handle_get_context(PyObject* self, PyObject*) {
  return as_handle(self)->f.context.share().release();
}

PyObject* handle_run(PyObject* self, PyObject*) {
  if (run_handle(state_of_handle(self), as_handle(self)) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* get_ref(const PyRef& ref) {
  return Py_NewRef(ref ? ref.get() : Py_None);
}
PyObject* get_callback(PyObject* self, void*) { return get_ref(as_handle(self)->f.callback); }
PyObject* get_args(PyObject* self, void*) { return get_ref(as_handle(self)->f.args); }
PyObject* get_loop(PyObject* self, void*) { return get_ref(as_handle(self)->f.loop); }
PyObject* get_context_attr(PyObject* self, void*) { return get_ref(as_handle(self)->f.context); }
PyObject* get_source_traceback(PyObject* self, void*) {
  PyObject* stack = as_handle(self)->f.source_traceback();
  return Py_NewRef(stack ? stack : Py_None);
}
PyObject* get_repr(PyObject* self, void*) {
  const HandleFields& f = as_handle(self)->f;
  return f.debug ? get_ref(f.debug->repr) : Py_NewRef(Py_None);
}
PyObject* get_cancelled(PyObject* self, void*) {
  return PyBool_FromLong(as_handle(self)->f.cancelled());
}

PyDoc_STRVAR(cancel_doc,
             "cancel($self)\n--\n\n"
             "Cancel the call: the callback will not run, and the handle lets go of it\n"
             "and of its arguments. Cancelling twice, or after the run, does nothing.");
PyDoc_STRVAR(cancelled_doc,
             "cancelled($self)\n--\n\n"
             "Return True if the call was cancelled.");
PyDoc_STRVAR(get_context_doc,
             "get_context($self)\n--\n\n"
             "Return the contextvars.Context the callback runs in.");
PyDoc_STRVAR(run_doc,
             "_run($self)\n--\n\n"
             "Run the callback in its context, reporting an error to the loop's handler.");
PyDoc_STRVAR(repr_info_doc,
             "_repr_info($self)\n--\n\n"
             "Return the list of words that make up the handle's repr.");

PyMethodDef handle_methods[] = {
    {"cancel", handle_cancel, METH_NOARGS, cancel_doc},
    {"cancelled", handle_cancelled, METH_NOARGS, cancelled_doc},
    {"get_context", handle_get_context, METH_NOARGS, get_context_doc},
    {"_run", handle_run, METH_NOARGS, run_doc},
    {"_repr_info", handle_repr_info, METH_NOARGS, repr_info_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef handle_getset[] = {
    {"_callback", get_callback, nullptr, nullptr, nullptr},
    {"_args", get_args, nullptr, nullptr, nullptr},
    {"_loop", get_loop, nullptr, nullptr, nullptr},
    {"_context", get_context_attr, nullptr, nullptr, nullptr},
    {"_source_traceback", get_source_traceback, nullptr, nullptr, nullptr},
    {"_repr", get_repr, nullptr, nullptr, nullptr},
    {"_cancelled", get_cancelled, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef handle_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(HandleHead, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_doc, const_cast<char*>("A callback scheduled on a loop, as call_soon() returns it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(handle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handle_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(handle_repr)},
    {Py_tp_methods, handle_methods},
    {Py_tp_getset, handle_getset},
    {Py_tp_members, handle_members},
    {0, nullptr},
};

PyType_Spec handle_spec = {
    "velkorio.Handle",
    sizeof(HandleObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    handle_slots,
};

PyObject* timer_when(PyObject* self, PyObject*) { return PyFloat_FromDouble(as_timer(self)->when); }
PyObject* get_when(PyObject* self, void*) { return PyFloat_FromDouble(as_timer(self)->when); }
PyObject* get_scheduled(PyObject* self, void*) {
  return PyBool_FromLong(as_timer(self)->heap_index >= 0);
}

Py_hash_t timer_hash(PyObject* self) {
  PyRef when = PyRef::steal(PyFloat_FromDouble(as_timer(self)->when));
  return when ? PyObject_Hash(when.get()) : -1;
}

// Ordered by deadline; equal when deadline, callback, arguments and
// cancellation are, as asyncio's TimerHandle is.
PyObject* timer_richcompare(PyObject* self, PyObject* other, int op) {
  if (!is_timer_handle(state_of_handle(self), other)) Py_RETURN_NOTIMPLEMENTED;
  const double a = as_timer(self)->when;
  const double b = as_timer(other)->when;
  if (op == Py_EQ || op == Py_NE) {
    HandleFields& x = as_handle(self)->f;
    HandleFields& y = as_handle(other)->f;
    bool equal = self == other;
    if (!equal && a == b && x.cancelled() == y.cancelled()) {
      PyObject* none = Py_None;
      int same = PyObject_RichCompareBool(x.callback ? x.callback.get() : none,
                                          y.callback ? y.callback.get() : none, Py_EQ);
      if (same > 0) {
        same = PyObject_RichCompareBool(x.args ? x.args.get() : none, y.args ? y.args.get() : none,
                                        Py_EQ);
      }
      if (same < 0) return nullptr;
      equal = same > 0;
    }
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
  }
  Py_RETURN_RICHCOMPARE(a, b, op);
}

PyDoc_STRVAR(when_doc,
             "when($self)\n--\n\n"
             "Return the time the callback is scheduled for, on the loop's clock\n"
             "(see the loop's time()).");

PyMethodDef timer_methods[] = {
    {"when", timer_when, METH_NOARGS, when_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef timer_getset[] = {
    {"_when", get_when, nullptr, nullptr, nullptr},
    {"_scheduled", get_scheduled, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot timer_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A callback scheduled for a given time, as call_later() and call_at()\n"
                    "return it. Timer handles order by their deadline.")},
    {Py_tp_traverse, reinterpret_cast<void*>(handle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handle_clear)},
    {Py_tp_hash, reinterpret_cast<void*>(timer_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(timer_richcompare)},
    {Py_tp_methods, timer_methods},
    {Py_tp_getset, timer_getset},
    {0, nullptr},
};

PyType_Spec timer_spec = {
    "velkorio.TimerHandle",
    sizeof(TimerHandleObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    timer_slots,
};

// Fills a freshly allocated handle. False with the error set.
bool fill(const ModuleState& state, HandleObject* handle, PyObject* loop, PyObject* callback, PyObject* args,
          PyObject* context, bool debug) {
  HandleFields* f = new (&handle->f) HandleFields{};
  f->callback = PyRef::borrow(callback);
  f->args = PyRef::borrow(args);
  f->loop = PyRef::borrow(loop);
  f->context = context != nullptr && context != Py_None ? PyRef::borrow(context)
                                                       : PyRef::steal(PyContext_CopyCurrent());
  if (!f->context) return false;
  if (debug) {
    // The stack down to the caller of call_soon, call_later or call_at.
    PyObject* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
    PyRef stack =
        PyRef::steal(PyObject_CallOneArg(state.extract_stack, frame ? frame : Py_None));
    if (!stack || !ensure_debug_fields(*f)) return false;
    f->debug->source_traceback = std::move(stack);
  }
  return true;
}

}  // namespace

bool init_handle_types(PyObject* module, ModuleState& state) {
  state.handle_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &handle_spec, nullptr));
  if (state.handle_type == nullptr) return false;
  state.timer_handle_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(
      module, &timer_spec, reinterpret_cast<PyObject*>(state.handle_type)));
  if (state.timer_handle_type == nullptr) return false;
  return PyModule_AddType(module, state.handle_type) == 0 &&
         PyModule_AddType(module, state.timer_handle_type) == 0;
}

PyRef make_handle(ModuleState& state, PyObject* loop, PyObject* callback, PyObject* args,
                  PyObject* context, bool debug) {
  PyObject* object = PyType_GenericAlloc(state.handle_type, 0);
  if (object == nullptr) return {};
  PyRef handle = PyRef::steal(object);
  // The fields are constructed before anything can fail, so dealloc may
  // always destroy them.
  if (!fill(state, as_handle(object), loop, callback, args, context, debug)) return {};
  return handle;
}

PyRef make_timer_handle(ModuleState& state, PyObject* loop, double when, PyObject* callback,
                        PyObject* args, PyObject* context, bool debug) {
  PyObject* object = PyType_GenericAlloc(state.timer_handle_type, 0);
  if (object == nullptr) return {};
  PyRef handle = PyRef::steal(object);
  TimerHandleObject* timer = as_timer(object);
  timer->when = when;
  timer->sequence = 0;
  timer->heap_index = -1;
  if (!fill(state, &timer->base, loop, callback, args, context, debug)) return {};
  return handle;
}

int run_handle(ModuleState& state, HandleObject* handle) {
  HandleFields& f = handle->f;
  if (f.cancelled()) return 0;
  // Held here: the callback may cancel its own handle while it runs.
  PyRef callback = f.callback.share();
  PyRef args = f.args.share();
  PyRef context = f.context.share();
  PyRef loop = f.loop.share();
  return run_callback(state, reinterpret_cast<PyObject*>(handle), loop.get(), callback.get(),
                      args.get(), context.get(), f.source_traceback());
}

int run_callback(ModuleState& state, PyObject* self, PyObject* loop, PyObject* callback, PyObject* args,
                 PyObject* context, PyObject* source_traceback) {
  PyObject* failure = nullptr;
  if (PyContext_Enter(context) == 0) {
    PyObject* result =
        PyObject_Vectorcall(callback, &PyTuple_GET_ITEM(args, 0),
                            static_cast<std::size_t>(PyTuple_GET_SIZE(args)), nullptr);
    failure = result == nullptr ? PyErr_GetRaisedException() : nullptr;
    Py_XDECREF(result);
    if (PyContext_Exit(context) < 0) {
      Py_XDECREF(failure);
      failure = PyErr_GetRaisedException();
    }
  } else {
    failure = PyErr_GetRaisedException();
  }
  if (failure == nullptr) return 0;
  PyRef exception = PyRef::steal(failure);
  if (PyErr_GivenExceptionMatches(failure, PyExc_SystemExit) ||
      PyErr_GivenExceptionMatches(failure, PyExc_KeyboardInterrupt)) {
    PyErr_SetRaisedException(exception.release());
    return -1;
  }
  PyRef source = format_callback(state, callback, args, loop);
  if (!source) return -1;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("Exception in callback %U", source.get()));
  PyRef report = message ? PyRef::steal(PyDict_New()) : PyRef();
  if (!report || PyDict_SetItemString(report.get(), "message", message.get()) < 0 ||
      PyDict_SetItemString(report.get(), "exception", exception.get()) < 0 ||
      PyDict_SetItemString(report.get(), "handle", self) < 0) {
    return -1;
  }
  // asyncio adds it when it is not empty.
  const int has_stack = source_traceback ? PyObject_IsTrue(source_traceback) : 0;
  if (has_stack < 0 ||
      (has_stack && PyDict_SetItemString(report.get(), "source_traceback", source_traceback) < 0)) {
    return -1;
  }
  PyRef handled =
      PyRef::steal(PyObject_CallMethod(loop, "call_exception_handler", "O", report.get()));
  return handled ? 0 : -1;
}

}  // namespace velkorio
