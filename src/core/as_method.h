#pragma once
// as_method: a C function of any of CPython's method signatures as the
// PyCFunction a PyMethodDef stores (its flags say how it is called).

#include <Python.h>

namespace velkor {

template <typename Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace velkor
