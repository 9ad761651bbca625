// add_reader, add_writer, remove_reader, remove_writer.

#include "event_loop/event_loop.h"
#include "panic.h"

namespace velkor {

namespace {
PyObject* poisoned() { return raise_panic("the I/O registry's lock is poisoned"); }
}  // namespace

PyObject* loop::add_watch(PyObject* self, rt::Direction direction, int fd, PyObject* callback,
                          PyObject* args) {
  PyRef owned_callback = PyRef::borrow(callback);
  PyRef owned_args = PyRef::borrow(args);
  std::shared_ptr<void> replaced;
  {
    auto registry = as_loop(self)->state().io_registry->lock();
    if (!registry) return poisoned();
    replaced = direction == rt::Direction::read
                   ? registry->add_reader(fd, std::move(owned_callback), std::move(owned_args))
                   : registry->add_writer(fd, std::move(owned_callback), std::move(owned_args));
  }
  replaced.reset();  // may release Python references: not under the registry lock
  Py_RETURN_NONE;
}

PyObject* loop::remove_watch(PyObject* self, rt::Direction direction, int fd) {
  std::shared_ptr<void> removed;
  {
    auto registry = as_loop(self)->state().io_registry->lock();
    if (!registry) return poisoned();
    removed = direction == rt::Direction::read ? registry->remove_reader(fd)
                                               : registry->remove_writer(fd);
  }
  removed.reset();
  Py_RETURN_NONE;
}

}  // namespace velkor
