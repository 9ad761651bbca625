#include "args.h"

#include <climits>
#include <cstring>

namespace velkor::args {

namespace {

Py_ssize_t positional_capacity(const Signature& sig) {
  Py_ssize_t count = 0;
  for (const Param& param : sig.params) {
    if (param.kind == Kind::positional_or_keyword) ++count;
  }
  return count;
}

int find_param(const Signature& sig, PyObject* name) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_EqualToUTF8(name, sig.params[i].name)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

bool parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           Parsed& out) {
  out = Parsed{};
  const Py_ssize_t capacity = positional_capacity(sig);
  Py_ssize_t taken = nargs;
  if (nargs > capacity) {
    if (sig.star_args) {
      taken = capacity;
      out.star = args + capacity;
      out.star_count = nargs - capacity;
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                   sig.method, capacity, capacity == 1 ? "" : "s", nargs,
                   nargs == 1 ? "was" : "were");
      return false;
    }
  }
  for (Py_ssize_t i = 0; i < taken; ++i) out.values[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const int index = find_param(sig, name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.method,
                   name);
      return false;
    }
    if (out.values[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.method,
                   sig.params[index].name);
      return false;
    }
    out.values[index] = args[nargs + k];
  }

  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required && out.values[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", sig.method,
                   sig.params[i].name);
      return false;
    }
  }
  return true;
}

PyRef make_tuple(PyObject* const* items, Py_ssize_t count) {
  PyRef tuple = PyRef::steal(PyTuple_New(count));
  if (!tuple) return tuple;
  for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(items[i]));
  return tuple;
}

void name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef original = PyRef::steal(PyErr_GetRaisedException());
  PyRef message = PyRef::steal(PyObject_Str(original.get()));
  if (!message) return;  // leaves the error from str() pending
  PyRef cause = PyRef::steal(PyException_GetCause(original.get()));
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
  if (cause) {
    PyRef replaced = PyRef::steal(PyErr_GetRaisedException());
    PyException_SetCause(replaced.get(), cause.release());
    PyErr_SetRaisedException(replaced.release());
  }
}

bool to_double(PyObject* value, const char* name, double& out) {
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  out = PyFloat_AsDouble(value);
  if (out == -1.0 && PyErr_Occurred()) {
    name_type_error(name);
    return false;
  }
  return true;
}

bool to_fd(PyObject* value, const char* name, int& out) {
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) {
    name_type_error(name);
    return false;
  }
  if (number < INT_MIN || number > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<int>(number);
  return true;
}

namespace {
bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) return false;
  PyRef type_name = PyRef::steal(PyType_GetName(type));
  if (!type_name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_EqualToUTF8(type_name.get(), "bool_") ||
         PyUnicode_EqualToUTF8(type_name.get(), "bool");
}
}  // namespace

bool to_strict_bool(PyObject* value, const char* name, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
      name_type_error(name);
      return false;
    }
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not a bool", Py_TYPE(value)->tp_name);
  name_type_error(name);
  return false;
}

bool check_tuple(PyObject* value, const char* name) {
  if (PyTuple_Check(value)) return true;
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not a tuple", Py_TYPE(value)->tp_name);
  name_type_error(name);
  return false;
}

}  // namespace velkor::args
