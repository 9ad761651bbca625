#include "watches.h"

#include "handle.h"
#include "loop_core.h"
#include "selector.h"

namespace velkorio {
namespace {

constexpr long event_read = 1;
constexpr long event_write = 2;

// asyncio's own method `name` on this loop, for a selector not ours.
PyObject* fall_back(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs) {
  PyRef method =
      PyRef::steal(PyObject_GetAttrString(loop_core_module(self).base_selector_loop, name));
  if (!method) return nullptr;
  PyRef full = PyRef::steal(PyTuple_New(nargs + 1));
  if (!full) return nullptr;
  PyTuple_SET_ITEM(full.get(), 0, Py_NewRef(self));
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(full.get(), i + 1, Py_NewRef(args[i]));
  return PyObject_Call(method.get(), full.get(), nullptr);
}

bool cancel(PyObject* handle) {
  if (handle == Py_None) return true;
  return static_cast<bool>(PyRef::steal(PyObject_CallMethod(handle, "cancel", nullptr)));
}

PyObject* add_watch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, long direction,
                    const char* name) {
  if (nargs < 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes a descriptor, a callback and its arguments", name);
    return nullptr;
  }
  PyRef selector = loop_core_selector(self);
  if (!selector) return nullptr;
  if (!is_selector(loop_core_module(self), selector.get())) {
    return fall_back(self, name, args, nargs);
  }
  if (loop_core_closed(self)) {
    PyErr_SetString(PyExc_RuntimeError, "Event loop is closed");
    return nullptr;
  }
  PyRef callback_args = PyRef::steal(PyTuple_New(nargs - 2));
  if (!callback_args) return nullptr;
  for (Py_ssize_t i = 2; i < nargs; ++i) {
    PyTuple_SET_ITEM(callback_args.get(), i - 2, Py_NewRef(args[i]));
  }
  PyRef handle = make_handle(loop_core_module(self), self, args[1], callback_args.get(), nullptr,
                             loop_core_debug(self));
  if (!handle) return nullptr;
  int fd = -1;
  PyObject* found = selector_find(selector.get(), args[0], fd);
  if (found == nullptr && PyErr_Occurred()) return nullptr;
  PyRef key = PyRef::borrow(found);
  long mask = 0;
  PyRef reader = PyRef::borrow(Py_None);
  PyRef writer = PyRef::borrow(Py_None);
  if (key) {
    mask = PyLong_AsLong(PyTuple_GET_ITEM(key.get(), 2));
    PyObject* data = PyTuple_GET_ITEM(key.get(), 3);
    if (PyTuple_Check(data) && PyTuple_GET_SIZE(data) == 2) {
      reader = PyRef::borrow(PyTuple_GET_ITEM(data, 0));
      writer = PyRef::borrow(PyTuple_GET_ITEM(data, 1));
    }
  }
  PyRef& replaced = direction == event_read ? reader : writer;
  PyRef data = PyRef::steal(direction == event_read
                                ? PyTuple_Pack(2, handle.get(), writer.get())
                                : PyTuple_Pack(2, reader.get(), handle.get()));
  if (!data || !selector_put(selector.get(), args[0], fd, mask | direction, data.get())) {
    return nullptr;
  }
  if (!cancel(replaced.get())) return nullptr;
  return handle.release();
}

PyObject* remove_watch(PyObject* self, PyObject* fileobj, long direction, const char* name) {
  if (loop_core_closed(self)) Py_RETURN_FALSE;
  PyRef selector = loop_core_selector(self);
  if (!selector) return nullptr;
  if (!is_selector(loop_core_module(self), selector.get())) {
    return fall_back(self, name, &fileobj, 1);
  }
  int fd = -1;
  PyObject* found = selector_find(selector.get(), fileobj, fd);
  if (found == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_FALSE;
  }
  PyRef key = PyRef::borrow(found);
  long mask = PyLong_AsLong(PyTuple_GET_ITEM(key.get(), 2)) & ~direction;
  PyObject* data = PyTuple_GET_ITEM(key.get(), 3);
  PyObject* reader = Py_None;
  PyObject* writer = Py_None;
  if (PyTuple_Check(data) && PyTuple_GET_SIZE(data) == 2) {
    reader = PyTuple_GET_ITEM(data, 0);
    writer = PyTuple_GET_ITEM(data, 1);
  }
  PyObject* removed = direction == event_read ? reader : writer;
  if (mask == 0) {
    if (!selector_remove(selector.get(), fd)) return nullptr;
  } else {
    PyRef kept = PyRef::steal(direction == event_read ? PyTuple_Pack(2, Py_None, writer)
                                                      : PyTuple_Pack(2, reader, Py_None));
    if (!kept || !selector_put(selector.get(), fileobj, fd, mask, kept.get())) return nullptr;
  }
  if (removed == Py_None) Py_RETURN_FALSE;
  if (!cancel(removed)) return nullptr;
  Py_RETURN_TRUE;
}

}  // namespace

PyObject* loop_add_reader(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return add_watch(self, args, nargs, event_read, "_add_reader");
}
PyObject* loop_add_writer(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return add_watch(self, args, nargs, event_write, "_add_writer");
}
PyObject* loop_remove_reader(PyObject* self, PyObject* fileobj) {
  return remove_watch(self, fileobj, event_read, "_remove_reader");
}
PyObject* loop_remove_writer(PyObject* self, PyObject* fileobj) {
  return remove_watch(self, fileobj, event_write, "_remove_writer");
}

}  // namespace velkorio
