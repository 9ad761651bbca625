#pragma once
// VelkorEventLoop, the native state behind a VelkorLoop object, and the
// native operations behind its Python-visible methods.

#include <Python.h>

#include <memory>
#include <optional>

#include "io.h"
#include "messages.h"
#include "pending_timers.h"
#include "core/pyref.h"
#include "runtime/guarded.h"
#include "runtime/runtime.h"
#include "runtime/wake_pipe.h"

namespace velkor {

struct VelkorEventLoop {
  // Throws rt::WorkerCountError or rt::RuntimeBuildError.
  static VelkorEventLoop build();

  VelkorEventLoop(VelkorEventLoop&&) noexcept = default;
  VelkorEventLoop& operator=(VelkorEventLoop&&) = delete;
  // Releases the fields in declaration order: the runtime first (stopping
  // every timer and watch, joining the workers), then the channel ends and
  // the registry.
  ~VelkorEventLoop();

  std::unique_ptr<rt::Runtime> runtime;
  std::optional<LoopChannel::Sender> sender;
  std::shared_ptr<rt::Guarded<std::optional<LoopChannel::Receiver>>> receiver;
  std::shared_ptr<rt::Guarded<IoRegistry>> io_registry;
  std::shared_ptr<PendingTimers> timers;
  // Lent to the interpreter as its signal wake-up descriptor while a run on
  // the main thread sleeps: a signal that lands on another thread then
  // still wakes the run.
  std::unique_ptr<rt::WakePipe> signal_pipe;
  bool debug = false;

 private:
  VelkorEventLoop() = default;
};

// The Python object: header and native state (weak references are managed
// by the interpreter). `native` is constructed, engaged, right after the
// object is allocated (before anything can see it) and destroyed in dealloc.
struct LoopObject {
  PyObject_HEAD
  std::optional<VelkorEventLoop> native;

  VelkorEventLoop& state() { return *native; }
};

inline LoopObject* as_loop(PyObject* self) { return reinterpret_cast<LoopObject*>(self); }

// Native operations, called by the method entries with converted arguments.
// Each returns a new reference, or null with an exception set.
namespace loop {
PyObject* run_forever(PyObject* self);
// Whether this thread is inside a run of `self`.
bool runs_here(PyObject* self);
PyObject* stop(PyObject* self);
PyObject* run_until_complete(PyObject* self, PyObject* future);
PyObject* time(PyObject* self);
PyObject* call_soon(PyObject* self, PyObject* callback, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* context);
PyObject* call_later(PyObject* self, double delay, PyObject* callback, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* context);
PyObject* call_at(PyObject* self, double when, PyObject* callback, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* context);
PyObject* timer_handle_cancelled(PyObject* self, PyObject* handle);
PyObject* create_task(PyObject* self, PyObject* coro, PyObject* name, PyObject* context);
PyObject* add_watch(PyObject* self, rt::Direction direction, int fd, PyObject* callback,
                    PyObject* args);
PyObject* remove_watch(PyObject* self, rt::Direction direction, int fd);
}  // namespace loop

// The VelkorLoop type, made once per process.
PyTypeObject* loop_type();

}  // namespace velkor
