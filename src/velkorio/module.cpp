// velkorio._core: the native part of velkorio, imported by its package.
// Its one exported symbol is PyInit__core.

#include <Python.h>

#include "asyncio_refs.h"
#include "handle.h"
#include "loop_core.h"
#include "selector.h"
#include "socket_transport.h"
#include "threadsafe_handle.h"

namespace {

int exec_module(PyObject* module) {
  if (!velkorio::asyncio_refs::init()) return -1;
  if (!velkorio::init_threadsafe_handles()) return -1;
  if (!velkorio::init_handle_types(module)) return -1;
  if (!velkorio::init_loop_core_type(module)) return -1;
  if (!velkorio::init_selector_type(module)) return -1;
  if (!velkorio::init_socket_transport_type(module)) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The types live in process-wide pointers: one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "velkorio._core", "velkorio's native loop core.", 0, nullptr,
    module_slots,          nullptr,          nullptr,                       nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&module_definition); }
