// add_reader, add_writer, remove_reader, remove_writer.

#include "event_loop/event_loop.h"
#include "panic.h"

namespace velkor {

namespace {

PyObject* poisoned() { return raise_panic("the I/O registry's lock is poisoned"); }

// Runs `change` on the registry. Watches it ends may release Python
// references: those wait until the lock is given back.
template <typename Change>
PyObject* change_registry(PyObject* self, Change&& change) {
  bool out_of_memory = false;
  {
    const deferred::DeferHere no_python_under_the_lock;
    auto registry = as_loop(self)->state().io_registry->lock();
    if (!registry) return poisoned();
    // A failed change leaves the registry as it was; caught here, inside the
    // lock, so that it does not poison it either.
    try {
      change(*registry);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  }
  deferred::release_pending();
  if (out_of_memory) return PyErr_NoMemory();
  Py_RETURN_NONE;
}

}  // namespace

PyObject* loop::add_watch(PyObject* self, rt::Direction direction, int fd, PyObject* callback,
                          PyObject* args) {
  const bool start_here = loop::runs_here(self);
  return change_registry(self, [&](IoRegistry& registry) {
    registry.add(direction, fd, PyRef::borrow(callback), PyRef::borrow(args), start_here);
  });
}

PyObject* loop::remove_watch(PyObject* self, rt::Direction direction, int fd) {
  return change_registry(self, [&](IoRegistry& registry) { registry.remove(direction, fd); });
}

}  // namespace velkor
