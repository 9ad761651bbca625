#pragma once
// The loop's readers and writers (asyncio's _add_reader, _remove_reader,
// _add_writer, _remove_writer, which its transports and sock_* methods
// call): native handles in our selector's keys, as (reader, writer) pairs.
// A loop given another selector gets asyncio's own methods.

#include <Python.h>

namespace velkorio {

PyObject* loop_add_reader(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_add_writer(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_remove_reader(PyObject* self, PyObject* fileobj);
PyObject* loop_remove_writer(PyObject* self, PyObject* fileobj);

}  // namespace velkorio
