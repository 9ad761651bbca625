// Building and tearing down a loop.

#include <memory>
#include <optional>

#include "event_loop/event_loop.h"
#include "panic.h"
#include "runtime/os_error.h"

namespace velkor {

VelkorEventLoop VelkorEventLoop::build() {
  const std::size_t workers = rt::worker_count_from_environment();
  VelkorEventLoop state;
  state.runtime = std::make_unique<rt::Runtime>(workers);
  auto [sender, receiver] = LoopChannel::make();
  // The thread that runs the loop sleeps in the poller: posts and signals
  // must wake it.
  state.runtime->handle().poller()->add_wake_source(receiver.wake_fd());
  state.signal_pipe = std::make_unique<rt::WakePipe>();
  state.runtime->handle().poller()->add_wake_source(state.signal_pipe->read_fd());
  IoRegistry registry(sender, state.runtime->handle());
  state.receiver = std::make_shared<rt::Guarded<std::optional<LoopChannel::Receiver>>>(
      std::move(receiver));
  state.io_registry = std::make_shared<rt::Guarded<IoRegistry>>(std::move(registry));
  state.sender.emplace(std::move(sender));
  state.timers = PendingTimers::create();
  return state;
}

VelkorEventLoop::~VelkorEventLoop() {
  if (runtime && receiver) {
    auto slot = receiver->lock();
    if (slot && slot->has_value()) runtime->handle().poller()->remove_source((*slot)->wake_fd());
    if (signal_pipe) runtime->handle().poller()->remove_source(signal_pipe->read_fd());
  }
  if (runtime) runtime->shut_down();
  runtime.reset();
  sender.reset();
  receiver.reset();  // drops what is still queued; we hold the lock here
  io_registry.reset();
  timers.reset();
  signal_pipe.reset();
}

}  // namespace velkor

namespace velkor {

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "VelkorLoop() takes no arguments");
    return nullptr;
  }
  deferred::release_pending();
  std::optional<VelkorEventLoop> state;
  try {
    state.emplace(VelkorEventLoop::build());
  } catch (const rt::WorkerCountError& error) {
    return raise_panic(error.what());
  } catch (const rt::RuntimeBuildError& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(error.what());
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    state.reset();  // waits for the runtime's threads, as teardown does
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  // Nothing runs between the allocation and this construction, so traverse
  // never meets the member unconstructed.
  std::construct_at(&as_loop(self)->native, std::move(state));
  return self;
}

void loop_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  LoopObject* object = as_loop(self);
  PyObject_GC_UnTrack(self);
  // Weak references go first, so that no Python code run by the releases
  // below can reach the object while it is being torn down.
  PyObject_ClearWeakRefs(self);
  // Joining the workers with the interpreter lock held cannot deadlock:
  // workers never take it.
  std::destroy_at(&object->native);
  deferred::release_pending();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace velkor
