// The extension module: its one exported symbol, PyInit_velkor, creates the
// module once per process and registers the VelkorLoop class.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "asyncio_api.h"
#include "event_loop/event_loop.h"
#include "panic.h"

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velkor",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Single-phase initialisation: one module object and one owning interpreter
// per process. velkor stays out of sub-interpreters on purpose: its worker
// threads drop references without the interpreter lock, and those releases
// wait in one process-wide list that whichever thread next takes the lock
// through the module carries out. With a second interpreter that thread
// could belong to the wrong one, and a reference count would then change
// under another interpreter's lock. CPython itself refuses single-phase
// modules in interpreters with a lock of their own; this guards the
// legacy kind, which shares the main interpreter's lock but not its
// objects. velkorio (its own module) does load there.
PyObject* cached_module = nullptr;
std::atomic<std::int64_t> owning_interpreter{-1};

// Appends the class name to __all__ (making it when absent), then sets the
// module attribute.
bool register_loop_class(PyObject* module) {
  PyTypeObject* type = velkor::loop_type();
  if (type == nullptr) return false;
  PyObject* all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return false;
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr) return false;
    if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return false;
    }
  }
  PyObject* name = PyUnicode_FromString("VelkorLoop");
  const bool appended = name != nullptr && PyList_Append(all, name) == 0;
  Py_XDECREF(name);
  Py_DECREF(all);
  if (!appended) return false;
  return PyModule_AddObjectRef(module, "VelkorLoop", reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_velkor(void) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id < 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "velkor does not support sub-interpreters: it is already initialised in "
                    "another interpreter of this process");
    return nullptr;
  }
  if (cached_module != nullptr) return Py_NewRef(cached_module);

  if (!velkor::init_panic_type() || !velkor::asyncio::init()) return nullptr;
  PyObject* module = PyModule_Create2(&module_definition, 1013);
  if (module == nullptr) return nullptr;
  if (!register_loop_class(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  cached_module = module;  // the cache's own reference
  return Py_NewRef(module);
}
