#pragma once
// What velkorio's native transport methods share: the module state of the
// class that defines them, attribute reads, and asyncio's way with an
// error in a transport's callback.

#include <Python.h>

#include "core/pyref.h"
#include "module_state.h"

namespace velkorio {

// How the transports' native methods are called: with the class that
// defines them (METH_METHOD), which finds the module's state at once, where
// the transport's own type would take a walk up a long hierarchy.
constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// The state of the module whose type defines the method (METH_METHOD).
inline const ModuleState& module_of(PyTypeObject* defining_class) {
  return *static_cast<const ModuleState*>(PyType_GetModuleState(defining_class));
}

// Whether a METH_FASTCALL | METH_KEYWORDS method `name` was called with no
// arguments; TypeError set when not.
inline bool takes_no_arguments(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes no arguments", name);
  return false;
}

inline velkor::PyRef attribute(PyObject* self, PyObject* name) {
  return velkor::PyRef::steal(PyObject_GetAttr(self, name));
}

// The truth of self.<name>: -1 on error.
inline int attribute_truth(PyObject* self, PyObject* name) {
  velkor::PyRef value = attribute(self, name);
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// self._sock_fd, the descriptor asyncio's transports keep; -1 with the
// error set.
inline int fd_of(const ModuleState& state, PyObject* self) {
  velkor::PyRef fd = attribute(self, state.names.sock_fd);
  return fd ? PyLong_AsInt(fd.get()) : -1;
}

inline bool is_exit(PyObject* exception) {
  return PyErr_GivenExceptionMatches(exception, PyExc_SystemExit) ||
         PyErr_GivenExceptionMatches(exception, PyExc_KeyboardInterrupt);
}

// What asyncio's `except (SystemExit, KeyboardInterrupt): raise` and
// `except BaseException as exc: self._fatal_error(exc, message)` make of
// the error now set.
inline PyObject* fail(const ModuleState& state, PyObject* self, const char* message) {
  velkor::PyRef exception = velkor::PyRef::steal(PyErr_GetRaisedException());
  if (is_exit(exception.get())) {
    PyErr_SetRaisedException(exception.release());
    return nullptr;
  }
  velkor::PyRef text = velkor::PyRef::steal(PyUnicode_FromString(message));
  if (!text) return nullptr;
  PyObject* args[] = {self, exception.get(), text.get()};
  return PyObject_VectorcallMethod(state.names.fatal_error, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

// A type of native methods that a Python transport class puts before
// asyncio's own, added to the module under `name`. Null with the error set.
inline PyTypeObject* make_transport_core_type(PyObject* module, const char* name, const char* doc,
                                              PyMethodDef* methods) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  // Copied by CPython, all but `methods`, which is static.
  PyType_Spec shape = {name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
  PyObject* type = PyType_FromModuleAndSpec(module, &shape, nullptr);
  if (type == nullptr) return nullptr;
  if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type)) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace velkorio
