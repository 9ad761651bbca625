// velkorio._core: the native part of velkorio, imported by its package.
// Its one exported symbol is PyInit__core.
//
// Every interpreter that imports it gets a module of its own, with its own
// state (module_state.h), so that it loads in sub-interpreters that have an
// interpreter lock of their own: loops in different interpreters run in
// parallel. It needs the interpreter lock (there is no free-threaded build
// of it).

#include <Python.h>

#include <new>

#include "asyncio_refs.h"
#include "datagram_transport.h"
#include "handle.h"
#include "loop_core.h"
#include "malloc_thresholds.h"
#include "module_state.h"
#include "selector.h"
#include "sock_ops.h"
#include "socket_transport.h"
#include "tls_protocol.h"
#include "threadsafe_handle.h"

namespace velkorio {
namespace {

int exec_module(PyObject* module) {
  // Zeroed memory, made a ModuleState (trivially destroyed) before use.
  ModuleState& state = *new (PyModule_GetState(module)) ModuleState{};
  if (!init_asyncio_refs(state)) return -1;
  if (!init_threadsafe_handles(state)) return -1;
  if (!init_handle_types(module, state)) return -1;
  if (!init_loop_core_type(module, state)) return -1;
  if (!init_selector_type(module, state)) return -1;
  if (!init_socket_transport_type(module, state)) return -1;
  if (!init_socket_wait_type(module, state)) return -1;
  if (!init_datagram_transport_type(module, state)) return -1;
  if (!init_tls_types(module, state)) return -1;
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  int status = 0;
  module_state(module).for_each_reference([&](PyObject*& object) {
    if (status == 0 && object != nullptr) status = visit(object, arg);
  });
  return status;
}

int clear_module(PyObject* module) {
  module_state(module).for_each_reference([](PyObject*& object) { Py_CLEAR(object); });
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef module_methods[] = {
    {"_raise_malloc_thresholds", raise_malloc_thresholds, METH_NOARGS,
     "_raise_malloc_thresholds($module, /)\n--\n\n"
     "Let glibc's malloc see a mapped block freed, once per process, as asyncio's\n"
     "first receive does: glibc then raises its mmap and trim thresholds."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velkorio._core",
    "velkorio's native loop core.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace velkorio

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&velkorio::module_definition); }
