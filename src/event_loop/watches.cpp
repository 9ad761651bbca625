// add_reader, add_writer, remove_reader, remove_writer.

#include "event_loop/event_loop.h"
#include "panic.h"

namespace velkor {

namespace {
PyObject* poisoned() { return raise_panic("the I/O registry's lock is poisoned"); }
using deferred::DeferHere;
}  // namespace

PyObject* loop::add_watch(PyObject* self, rt::Direction direction, int fd, PyObject* callback,
                          PyObject* args) {
  PyRef owned_callback = PyRef::borrow(callback);
  PyRef owned_args = PyRef::borrow(args);
  std::shared_ptr<void> replaced;
  {
    const DeferHere no_python_under_the_lock;
    auto registry = as_loop(self)->state().io_registry->lock();
    if (!registry) return poisoned();
    replaced = direction == rt::Direction::read
                   ? registry->add_reader(fd, std::move(owned_callback), std::move(owned_args))
                   : registry->add_writer(fd, std::move(owned_callback), std::move(owned_args));
  }
  replaced.reset();  // may release Python references: not under the registry lock
  deferred::release_pending();
  Py_RETURN_NONE;
}

PyObject* loop::remove_watch(PyObject* self, rt::Direction direction, int fd) {
  std::shared_ptr<void> removed;
  {
    const DeferHere no_python_under_the_lock;
    auto registry = as_loop(self)->state().io_registry->lock();
    if (!registry) return poisoned();
    removed = direction == rt::Direction::read ? registry->remove_reader(fd)
                                               : registry->remove_writer(fd);
  }
  removed.reset();
  deferred::release_pending();
  Py_RETURN_NONE;
}

}  // namespace velkor
