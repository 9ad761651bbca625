#pragma once
// The loop's create_task(coro, **kwargs), as asyncio's BaseEventLoop has it:
// the task factory when one is set, else asyncio.Task(coro, loop=loop,
// **kwargs). Native because every task of a program passes through it.

#include <Python.h>

namespace velkorio {

PyObject* loop_create_task(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace velkorio
