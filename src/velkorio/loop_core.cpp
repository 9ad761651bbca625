#include "loop_core.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "asyncio_refs.h"
#include "core/as_method.h"
#include "create_task.h"
#include "selector.h"
#include "threadsafe_handle.h"
#include "timer_heap.h"
#include "watches.h"

namespace velkorio {
namespace {

// asyncio's cap on one wait, so that a clock jump cannot park a loop for
// longer than a day.
constexpr double maximum_wait = 24 * 3600;

// How long a run that always has callbacks ready goes without looking for
// I/O (see run_once).
constexpr double busy_poll_interval = 200e-6;

struct LoopState {
  std::deque<PyRef> ready;
  TimerHeap timers;
  PyRef debug_value;  // what set_debug stored, returned as is by _debug
  bool debug = false;
  bool stopping = false;
  bool closed = false;
  std::vector<epoll_event> events;  // the native wait's buffer, kept between iterations
  // True from the moment the loop's thread decides how long to wait for I/O
  // until that wait is over: only then does call_soon_threadsafe need to
  // wake it. Outside that span the thread looks at its queue before it
  // next decides, and a push (under the interpreter lock, as the decision
  // is) is seen there.
  std::atomic<bool> waiting{false};
  double last_poll = 0;  // when the run last looked for I/O, in monotonic seconds
};

struct LoopCoreObject {
  PyObject_HEAD
  LoopState state;  // constructed by loop_new, destroyed by loop_dealloc
};

PyTypeObject* loop_core_class = nullptr;

LoopState& state_of(PyObject* self) { return reinterpret_cast<LoopCoreObject*>(self)->state; }

double monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

PyRef call_method(PyObject* self, const char* name) {
  PyRef method_name = PyRef::steal(PyUnicode_InternFromString(name));
  if (!method_name) return {};
  return PyRef::steal(PyObject_CallMethodNoArgs(self, method_name.get()));
}



bool check_open(LoopState& state) {
  if (!state.closed) return true;
  PyErr_SetString(PyExc_RuntimeError, "Event loop is closed");
  return false;
}

// The debug-mode checks of asyncio's call_soon, call_at and
// call_soon_threadsafe: the calling thread and the callback's kind.
bool debug_checks(PyObject* self, PyObject* callback, const char* method, bool thread) {
  if (thread && !call_method(self, "_check_thread")) return false;
  PyRef done = PyRef::steal(PyObject_CallMethod(self, "_check_callback", "Os", callback, method));
  return static_cast<bool>(done);
}

// The arguments of call_soon(callback, *args, context=None) and its kin,
// after `leading` positional arguments of their own.
struct CallArguments {
  PyObject* callback = nullptr;
  PyRef args;
  PyObject* context = nullptr;
};

bool parse_call(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                Py_ssize_t leading, CallArguments& out) {
  if (nargs < leading + 1) {
    PyErr_Format(PyExc_TypeError, "%s() missing required positional arguments", name);
    return false;
  }
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_EqualToUTF8(key, "context")) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
      return false;
    }
    out.context = args[nargs + i];
  }
  out.callback = args[leading];
  const Py_ssize_t count = nargs - leading - 1;
  out.args = PyRef::steal(PyTuple_New(count));
  if (!out.args) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyTuple_SET_ITEM(out.args.get(), i, Py_NewRef(args[leading + 1 + i]));
  }
  return true;
}

bool push_ready(LoopState& state, PyRef handle) {
  try {
    state.ready.push_back(std::move(handle));
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

// A timer due at `when`, queued. Null with the error set.
PyRef schedule_at(PyObject* self, double when, const CallArguments& call) {
  LoopState& state = state_of(self);
  PyRef timer =
      make_timer_handle(self, when, call.callback, call.args.get(), call.context, state.debug);
  if (!timer) return {};
  try {
    state.timers.push(timer.share());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return {};
  }
  return timer;
}

// --- methods ---

PyObject* loop_time(PyObject*, PyObject*) { return PyFloat_FromDouble(monotonic_now()); }

PyObject* loop_call_soon(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  LoopState& state = state_of(self);
  CallArguments call;
  if (!parse_call("call_soon", args, nargs, kwnames, 0, call) || !check_open(state)) {
    return nullptr;
  }
  if (state.debug && !debug_checks(self, call.callback, "call_soon", true)) return nullptr;
  PyRef handle = make_handle(self, call.callback, call.args.get(), call.context, state.debug);
  if (!handle || !push_ready(state, handle.share())) return nullptr;
  return handle.release();
}

// _call_soon(callback, args, context): asyncio's internal form.
PyObject* loop_private_call_soon(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 || !PyTuple_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "_call_soon(callback, args: tuple, context)");
    return nullptr;
  }
  LoopState& state = state_of(self);
  PyRef handle = make_handle(self, args[0], args[1], args[2], state.debug);
  if (!handle || !push_ready(state, handle.share())) return nullptr;
  return handle.release();
}

PyObject* loop_call_soon_threadsafe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  LoopState& state = state_of(self);
  CallArguments call;
  if (!parse_call("call_soon_threadsafe", args, nargs, kwnames, 0, call) || !check_open(state)) {
    return nullptr;
  }
  if (state.debug && !debug_checks(self, call.callback, "call_soon_threadsafe", false)) {
    return nullptr;
  }
  // asyncio's own thread-safe handle, with its lock: cancel() from another
  // thread while the callback runs waits for it to finish. Made natively
  // but in debug mode, where its __init__ also records the stack.
  PyRef handle =
      state.debug ? PyRef::steal(PyObject_CallFunctionObjArgs(
                        asyncio_refs::threadsafe_handle, call.callback, call.args.get(), self,
                        call.context ? call.context : Py_None, nullptr))
                  : make_threadsafe_handle(self, call.callback, call.args.get(), call.context);
  if (!handle) return nullptr;
  if (state.debug) {
    // The stack it took ends in its own __init__: trimmed to our caller.
    PyRef stack = PyRef::steal(PyObject_GetAttrString(handle.get(), "_source_traceback"));
    if (!stack) return nullptr;
    const Py_ssize_t size = PyList_Check(stack.get()) ? PyList_GET_SIZE(stack.get()) : 0;
    if (size > 0 && PyList_SetSlice(stack.get(), size - 1, size, nullptr) < 0) return nullptr;
  }
  if (!push_ready(state, handle.share())) return nullptr;
  // A loop that is not waiting looks at its queue before it next waits
  // (both happen under the interpreter lock, as this push does), so only a
  // waiting one needs the self-pipe's wake-up: one write per wait, not one
  // per call.
  if (state.waiting.load(std::memory_order_relaxed) && !call_method(self, "_write_to_self")) {
    return nullptr;
  }
  return handle.release();
}

PyObject* loop_call_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  LoopState& state = state_of(self);
  CallArguments call;
  if (!parse_call("call_at", args, nargs, kwnames, 1, call)) return nullptr;
  if (args[0] == Py_None) {
    PyErr_SetString(PyExc_TypeError, "when cannot be None");
    return nullptr;
  }
  const double when = PyFloat_AsDouble(args[0]);
  if (when == -1.0 && PyErr_Occurred()) return nullptr;
  if (!check_open(state)) return nullptr;
  if (state.debug && !debug_checks(self, call.callback, "call_at", true)) return nullptr;
  return schedule_at(self, when, call).release();
}

PyObject* loop_call_later(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  LoopState& state = state_of(self);
  CallArguments call;
  if (!parse_call("call_later", args, nargs, kwnames, 1, call)) return nullptr;
  if (args[0] == Py_None) {
    PyErr_SetString(PyExc_TypeError, "delay must not be None");
    return nullptr;
  }
  const double delay = PyFloat_AsDouble(args[0]);
  if (delay == -1.0 && PyErr_Occurred()) return nullptr;
  if (!check_open(state)) return nullptr;
  if (state.debug && !debug_checks(self, call.callback, "call_at", true)) return nullptr;
  return schedule_at(self, monotonic_now() + delay, call).release();
}

// Whether `handle` (ours or any object with asyncio's Handle interface) was
// cancelled: -1 on error.
int is_cancelled(PyObject* handle) {
  if (is_handle(handle)) return reinterpret_cast<HandleObject*>(handle)->f.cancelled() ? 1 : 0;
  PyRef flag = PyRef::steal(PyObject_GetAttrString(handle, "_cancelled"));
  return flag ? PyObject_IsTrue(flag.get()) : -1;
}

PyObject* loop_add_callback(PyObject* self, PyObject* handle) {
  const int cancelled = is_cancelled(handle);
  if (cancelled < 0) return nullptr;
  if (!cancelled && !push_ready(state_of(self), PyRef::borrow(handle))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* loop_timer_handle_cancelled(PyObject* self, PyObject* handle) {
  if (is_timer_handle(handle)) {
    loop_core_timer_cancelled(self, reinterpret_cast<TimerHandleObject*>(handle));
  }
  Py_RETURN_NONE;
}

// Runs one handle as asyncio's debug mode does: noted as the current
// handle, and reported when it takes longer than slow_callback_duration.
int run_debug(PyObject* self, PyObject* handle, int (*run)(PyObject*)) {
  if (PyObject_SetAttrString(self, "_current_handle", handle) < 0) return -1;
  const double start = monotonic_now();
  int status = run(handle);
  const double took = monotonic_now() - start;
  PyObject* failure = status < 0 ? PyErr_GetRaisedException() : nullptr;
  if (status == 0) {
    PyRef limit = PyRef::steal(PyObject_GetAttrString(self, "slow_callback_duration"));
    const double seconds = limit ? PyFloat_AsDouble(limit.get()) : -1.0;
    if (!limit || (seconds == -1.0 && PyErr_Occurred())) {
      status = -1;
    } else if (took >= seconds) {
      PyRef text = PyRef::steal(PyObject_CallOneArg(asyncio_refs::format_handle, handle));
      PyRef logged = text ? PyRef::steal(PyObject_CallMethod(asyncio_refs::logger, "warning",
                                                             "sOd", "Executing %s took %.3f seconds",
                                                             text.get(), took))
                          : PyRef();
      if (!logged) status = -1;
    }
    if (status < 0) failure = PyErr_GetRaisedException();
  }
  if (PyObject_SetAttrString(self, "_current_handle", Py_None) < 0) {
    if (failure) {
      PyErr_SetRaisedException(failure);
    }
    return -1;
  }
  if (failure) PyErr_SetRaisedException(failure);
  return status;
}

int run_any(PyObject* handle) {
  if (is_handle(handle)) return run_handle(reinterpret_cast<HandleObject*>(handle));
  if (is_threadsafe_handle(handle)) return run_threadsafe_handle(handle);
  PyRef done = PyRef::steal(PyObject_CallMethod(handle, "_run", nullptr));
  return done ? 0 : -1;
}

// The wait before the next iteration, as asyncio computes it: none while
// anything is ready or a stop is due, else until the first timer, at most a
// day; forever (-1) without timers.
double wait_timeout(LoopState& state) {
  if (!state.ready.empty() || state.stopping) return 0.0;
  if (state.timers.empty()) return -1.0;
  return std::clamp(state.timers.top()->when - monotonic_now(), 0.0, maximum_wait);
}

// Queues the reader or writer of a ready descriptor, as asyncio's
// _process_events does: a cancelled one is unregistered instead.
int dispatch(PyObject* self, PyObject* fileobj, PyObject* handle, const char* remover) {
  if (handle == Py_None) return 0;
  const int cancelled = is_cancelled(handle);
  if (cancelled < 0) return -1;
  if (!cancelled) return push_ready(state_of(self), PyRef::borrow(handle)) ? 0 : -1;
  PyRef removed = PyRef::steal(PyObject_CallMethod(self, remover, "O", fileobj));
  return removed ? 0 : -1;
}

// Waits in our own selector and queues the callbacks of what is ready.
int poll_native(PyObject* self, PyObject* selector, double timeout) {
  LoopState& state = state_of(self);
  std::vector<epoll_event> events = std::move(state.events);
  const int status = select_native(selector, timeout, events);
  for (std::size_t i = 0; status == 0 && i < events.size(); ++i) {
    PyObject* found = selector_key(selector, events[i].data.fd);
    if (found == nullptr) {
      if (PyErr_Occurred()) return -1;
      continue;  // unregistered by a callback of this same batch
    }
    PyRef key = PyRef::borrow(found);  // held: a removal below may drop the map's
    PyObject* data = PyTuple_GET_ITEM(key.get(), 3);
    if (!PyTuple_Check(data) || PyTuple_GET_SIZE(data) != 2) continue;
    PyRef reader = PyRef::borrow(PyTuple_GET_ITEM(data, 0));
    PyRef writer = PyRef::borrow(PyTuple_GET_ITEM(data, 1));
    const long mask = event_mask(events[i].events) & PyLong_AsLong(PyTuple_GET_ITEM(key.get(), 2));
    PyObject* fileobj = PyTuple_GET_ITEM(key.get(), 0);
    if ((mask & 1) && dispatch(self, fileobj, reader.get(), "_remove_reader") < 0) return -1;
    if ((mask & 2) && dispatch(self, fileobj, writer.get(), "_remove_writer") < 0) return -1;
  }
  state.events = std::move(events);
  return status;
}

// Any other selector, through its Python interface.
int poll_generic(PyObject* self, PyObject* selector, double timeout) {
  PyRef wait = timeout < 0 ? PyRef::borrow(Py_None) : PyRef::steal(PyFloat_FromDouble(timeout));
  if (!wait) return -1;
  PyRef events = PyRef::steal(PyObject_CallMethod(selector, "select", "O", wait.get()));
  if (!events) return -1;
  PyRef done = PyRef::steal(PyObject_CallMethod(self, "_process_events", "O", events.get()));
  return done ? 0 : -1;
}

// Raises a loop's `waiting` flag for a scope.
class Waiting {
 public:
  explicit Waiting(std::atomic<bool>& flag) : flag_(flag) {
    flag_.store(true, std::memory_order_relaxed);
  }
  ~Waiting() { flag_.store(false, std::memory_order_relaxed); }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;

 private:
  std::atomic<bool>& flag_;
};

// One iteration: poll for I/O, queue the timers that are due, then run what
// was ready when the iteration began (not what those callbacks schedule).
//
// Inside run_forever (`busy_polls` set), an iteration that would only look
// for I/O without waiting (callbacks are ready) skips the look when the last
// one was less than busy_poll_interval ago: on a VM that system call costs
// as much as several callbacks. The first iteration of a run and the last
// (a stop is due) always look, and readiness waits at most the interval
// behind a stream of callbacks.
int run_once(PyObject* self, bool busy_polls = false) {
  LoopState& state = state_of(self);
  int polled = 0;
  {
    Waiting waiting(state.waiting);
    const double timeout = wait_timeout(state);
    const bool skip = busy_polls && timeout == 0.0 && !state.stopping &&
                      monotonic_now() - state.last_poll < busy_poll_interval;
    if (!skip) {
      PyRef selector = loop_core_selector(self);
      if (!selector) return -1;
      polled = is_selector(selector.get()) ? poll_native(self, selector.get(), timeout)
                                           : poll_generic(self, selector.get(), timeout);
      state.last_poll = monotonic_now();
    }
  }
  if (polled < 0) return -1;

  if (!state.timers.empty()) {  // the clock is read only when a timer may be due
    const double end = monotonic_now() + 1e-9;  // the clock's resolution
    while (!state.timers.empty() && state.timers.top()->when < end) {
      if (!push_ready(state, state.timers.pop())) return -1;
    }
  }

  for (std::size_t todo = state.ready.size(); todo > 0 && !state.ready.empty(); --todo) {
    PyRef handle = std::move(state.ready.front());
    state.ready.pop_front();
    const int cancelled = is_cancelled(handle.get());
    if (cancelled < 0) return -1;
    if (cancelled) continue;
    const int status = state.debug ? run_debug(self, handle.get(), run_any) : run_any(handle.get());
    if (status < 0) return -1;
  }
  return 0;
}

PyObject* loop_run_once(PyObject* self, PyObject*) {
  if (run_once(self) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* loop_run_forever(PyObject* self, PyObject*) {
  if (!call_method(self, "_run_forever_setup")) return nullptr;
  int status = 0;
  state_of(self).last_poll = -busy_poll_interval;  // the first iteration looks
  while ((status = run_once(self, true)) == 0 && !state_of(self).stopping) {
  }
  PyObject* failure = status < 0 ? PyErr_GetRaisedException() : nullptr;
  if (!call_method(self, "_run_forever_cleanup")) {
    if (failure) {
      PyObject* later = PyErr_GetRaisedException();
      PyException_SetContext(later, failure);  // steals `failure`
      PyErr_SetRaisedException(later);
    }
    return nullptr;
  }
  if (failure) {
    PyErr_SetRaisedException(failure);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Drops every queued handle and timer, as close() does.
PyObject* loop_clear_queues(PyObject* self, PyObject*) {
  LoopState& state = state_of(self);
  // Moved out first: the releases may run finalizers that schedule more.
  std::deque<PyRef> ready = std::exchange(state.ready, {});
  std::vector<PyRef> timers = state.timers.take_all();
  ready.clear();
  timers.clear();
  Py_RETURN_NONE;
}

PyMethodDef loop_methods[] = {
    {"time", loop_time, METH_NOARGS, nullptr},
    {"call_soon", velkor::as_method(loop_call_soon),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_call_soon",
     velkor::as_method(loop_private_call_soon),
     METH_FASTCALL, nullptr},
    {"call_soon_threadsafe",
     velkor::as_method(loop_call_soon_threadsafe),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"call_later", velkor::as_method(loop_call_later),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"call_at", velkor::as_method(loop_call_at),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"create_task", velkor::as_method(loop_create_task),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_add_callback", loop_add_callback, METH_O, nullptr},
    {"_timer_handle_cancelled", loop_timer_handle_cancelled, METH_O, nullptr},
    {"_run_once", loop_run_once, METH_NOARGS, nullptr},
    {"run_forever", loop_run_forever, METH_NOARGS, nullptr},
    {"_clear_queues", loop_clear_queues, METH_NOARGS, nullptr},
    {"_add_reader", velkor::as_method(loop_add_reader),
     METH_FASTCALL, nullptr},
    {"_add_writer", velkor::as_method(loop_add_writer),
     METH_FASTCALL, nullptr},
    {"_remove_reader", loop_remove_reader, METH_O, nullptr},
    {"_remove_writer", loop_remove_writer, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes asyncio's BaseEventLoop sets and reads ---

PyObject* get_debug(PyObject* self, void*) {
  LoopState& state = state_of(self);
  return Py_NewRef(state.debug_value ? state.debug_value.get() : Py_False);
}
int set_debug(PyObject* self, PyObject* value, void*) {
  LoopState& state = state_of(self);
  const int truth = value ? PyObject_IsTrue(value) : 0;
  if (truth < 0) return -1;
  state.debug = truth;
  state.debug_value = PyRef::borrow(value);
  return 0;
}

template <bool LoopState::*flag>
PyObject* get_flag(PyObject* self, void*) {
  return PyBool_FromLong(state_of(self).*flag);
}
template <bool LoopState::*flag>
int set_flag(PyObject* self, PyObject* value, void*) {
  const int truth = value ? PyObject_IsTrue(value) : 0;
  if (truth < 0) return -1;
  state_of(self).*flag = truth;
  return 0;
}

// _ready and _scheduled read as snapshots (a list); assigning an empty
// collection, as BaseEventLoop.__init__ does, is accepted.
PyObject* get_ready(PyObject* self, void*) {
  LoopState& state = state_of(self);
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const PyRef& handle : state.ready) {
    if (PyList_Append(list.get(), handle.get()) < 0) return nullptr;
  }
  return list.release();
}
PyObject* get_scheduled(PyObject* self, void*) {
  LoopState& state = state_of(self);
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const PyRef& timer : state.timers.entries()) {
    if (PyList_Append(list.get(), timer.get()) < 0) return nullptr;
  }
  return list.release();
}
int set_empty_only(PyObject*, PyObject* value, void*) {
  const Py_ssize_t size = value ? PyObject_Length(value) : 0;
  if (size < 0) return -1;
  if (size > 0) {
    PyErr_SetString(PyExc_AttributeError, "velkorio keeps its queues itself");
    return -1;
  }
  return 0;
}
PyObject* get_cancelled_count(PyObject*, void*) { return PyLong_FromLong(0); }
int set_cancelled_count(PyObject*, PyObject*, void*) { return 0; }

PyGetSetDef loop_getset[] = {
    {"_debug", get_debug, set_debug, nullptr, nullptr},
    {"_stopping", get_flag<&LoopState::stopping>, set_flag<&LoopState::stopping>, nullptr,
     nullptr},
    {"_closed", get_flag<&LoopState::closed>, set_flag<&LoopState::closed>, nullptr, nullptr},
    {"_ready", get_ready, set_empty_only, nullptr, nullptr},
    {"_scheduled", get_scheduled, set_empty_only, nullptr, nullptr},
    // Cancelled timers leave the queue at once, so none are ever counted.
    {"_timer_cancelled_count", get_cancelled_count, set_cancelled_count, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- the type ---

PyObject* loop_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&state_of(self)) LoopState{};
  return self;
}

int loop_traverse(PyObject* self, visitproc visit, void* arg) {
  LoopState& state = state_of(self);
  Py_VISIT(Py_TYPE(self));
  for (const PyRef& handle : state.ready) Py_VISIT(handle.get());
  for (const PyRef& timer : state.timers.entries()) Py_VISIT(timer.get());
  Py_VISIT(state.debug_value.get());
  return 0;
}

int loop_clear(PyObject* self) {
  LoopState& state = state_of(self);
  std::deque<PyRef> ready = std::exchange(state.ready, {});
  std::vector<PyRef> timers = state.timers.take_all();
  PyRef debug = std::move(state.debug_value);
  return 0;
}

void loop_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  loop_clear(self);
  std::destroy_at(&state_of(self));
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot loop_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(loop_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(loop_clear)},
    {Py_tp_methods, loop_methods},
    {Py_tp_getset, loop_getset},
    {0, nullptr},
};

PyType_Spec loop_spec = {
    "velkorio.LoopCore",
    sizeof(LoopCoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    loop_slots,
};

}  // namespace

PyTypeObject* loop_core_type() { return loop_core_class; }

bool init_loop_core_type(PyObject* module) {
  loop_core_class =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &loop_spec, nullptr));
  return loop_core_class != nullptr && PyModule_AddType(module, loop_core_class) == 0;
}

bool loop_core_debug(PyObject* loop) { return state_of(loop).debug; }

PyRef loop_core_selector(PyObject* loop) {
  // Read every iteration: the name is made once and kept, as interned
  // names are, for the life of the process.
  static PyObject* const name = PyUnicode_InternFromString("_selector");
  if (name == nullptr) {
    PyErr_NoMemory();
    return {};
  }
  return PyRef::steal(PyObject_GetAttr(loop, name));
}
bool loop_core_closed(PyObject* loop) { return state_of(loop).closed; }

void loop_core_timer_cancelled(PyObject* loop, TimerHandleObject* timer) {
  if (timer->heap_index < 0) return;
  // Released here, with nothing of ours half-done.
  PyRef removed = state_of(loop).timers.remove(static_cast<std::size_t>(timer->heap_index));
}

}  // namespace velkorio
