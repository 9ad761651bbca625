#include "create_task.h"

#include <initializer_list>
#include <new>
#include <vector>

#include "core/pyref.h"
#include "loop_core.h"

namespace velkorio {
namespace {

using velkor::PyRef;

// callable(*leading, *args, **kwargs), from a vectorcall's `args` (`nargs`
// positional, then the values of `kwnames`).
PyObject* call_with(PyObject* callable, std::initializer_list<PyObject*> leading,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  std::vector<PyObject*> stack;
  try {
    stack.reserve(leading.size() + static_cast<std::size_t>(nargs + keywords));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  stack.insert(stack.end(), leading);
  stack.insert(stack.end(), args, args + nargs + keywords);
  return PyObject_Vectorcall(callable, stack.data(), leading.size() + static_cast<std::size_t>(nargs),
                             kwnames);
}

// asyncio's own create_task, for what the fast path does not take on.
PyObject* fall_back(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyRef method = PyRef::steal(
      PyObject_GetAttrString(loop_core_module(self).base_selector_loop, "create_task"));
  return method ? call_with(method.get(), {self}, args, nargs, kwnames) : nullptr;
}

bool names_loop(PyObject* kwnames) {
  for (Py_ssize_t i = 0; kwnames && i < PyTuple_GET_SIZE(kwnames); ++i) {
    if (PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, i), "loop")) return true;
  }
  return false;
}

// asyncio.Task(coro, loop=self, **kwargs). asyncio.tasks.Task is looked up
// on each call, as asyncio's own create_task does.
PyRef new_task(PyObject* self, PyObject* coro, PyObject* const* values, PyObject* kwnames) {
  const ModuleState& module = loop_core_module(self);
  PyObject* const loop_names = module.loop_keyword;
  PyRef task_type = PyRef::steal(PyObject_GetAttrString(module.tasks_module, "Task"));
  if (!task_type) return {};
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (keywords == 0) {
    PyObject* stack[] = {coro, self};
    return PyRef::steal(PyObject_Vectorcall(task_type.get(), stack, 1, loop_names));
  }
  PyRef names = PyRef::steal(PyTuple_New(1 + keywords));
  if (!names) return {};
  PyTuple_SET_ITEM(names.get(), 0, Py_NewRef(PyTuple_GET_ITEM(loop_names, 0)));
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyTuple_SET_ITEM(names.get(), 1 + i, Py_NewRef(PyTuple_GET_ITEM(kwnames, i)));
  }
  std::vector<PyObject*> stack;
  try {
    stack.reserve(static_cast<std::size_t>(2 + keywords));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return {};
  }
  stack.push_back(coro);
  stack.push_back(self);
  stack.insert(stack.end(), values, values + keywords);
  return PyRef::steal(PyObject_Vectorcall(task_type.get(), stack.data(), 1, names.get()));
}

}  // namespace

PyObject* loop_create_task(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  // Unusual calls (a misspelt argument, loop= among the keywords) get
  // asyncio's own errors.
  if (nargs != 1 || names_loop(kwnames)) return fall_back(self, args, nargs, kwnames);
  if (loop_core_closed(self)) {
    PyErr_SetString(PyExc_RuntimeError, "Event loop is closed");
    return nullptr;
  }
  PyRef factory = PyRef::steal(PyObject_GetAttrString(self, "_task_factory"));
  if (!factory) return nullptr;
  if (factory.get() != Py_None) {
    // factory(loop, coro, **kwargs)
    return call_with(factory.get(), {self}, args, nargs, kwnames);
  }
  // In debug mode the task's source traceback ends at our caller, as
  // asyncio's ends once it drops its own create_task frame.
  return new_task(self, args[0], args + 1, kwnames).release();
}

}  // namespace velkorio
