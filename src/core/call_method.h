#pragma once
// call_method: object.<name>(*args) by interned name, through vectorcall,
// as an owned reference (null with the error set when the call failed).

#include <Python.h>

#include "core/pyref.h"

namespace velkor {

template <typename... Args>
PyRef call_method(PyObject* object, PyObject* name, Args... args) {
  PyObject* stack[] = {object, args...};
  return PyRef::steal(PyObject_VectorcallMethod(
      name, stack, (1 + sizeof...(args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Whether the error now set is BlockingIOError or InterruptedError, which
// asyncio's socket code takes for "not ready, try again later".
inline bool error_would_block() {
  return PyErr_ExceptionMatches(PyExc_BlockingIOError) ||
         PyErr_ExceptionMatches(PyExc_InterruptedError);
}

}  // namespace velkor
