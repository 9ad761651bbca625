#include "loop_core.h"

#include <time.h>

#include <cmath>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "core/as_method.h"
#include "create_task.h"
#include "selector.h"
#include "sock_ops.h"
#include "socket_transport.h"
#include "threadsafe_handle.h"
#include "timer_heap.h"
#include "watches.h"
#include "write_batch.h"

namespace velkorio {
namespace {

// asyncio's cap on one wait, so that a clock jump cannot park a loop for
// longer than a day.
constexpr double maximum_wait = 24 * 3600;

// How long a run that always has callbacks ready goes without looking for
// I/O (see run_once).
constexpr double busy_poll_interval = 200e-6;

struct LoopState {
  ModuleState* module = nullptr;  // its type's module's, which the type keeps alive
  // asyncio's `_selector` attribute, kept here: the iteration reads it every
  // time, and an attribute lookup would cost as much as a callback's run.
  PyRef selector;
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
  // Whether a signal handler is installed: its signals arrive through the
  // wake-up pipe, which the loop must then read as often as asyncio does.
  bool signals_watched = false;
  // The loop's clock. asyncio schedules by self.time(), which a subclass or
  // a test (mock.patch.object(loop, "time")) may replace: `time_in_instance`
  // says an instance attribute shadows ours (set in setattro), and
  // `clock_checked_for` is the version of the type whose `time` was found to
  // be ours (0: not checked, or not ours).
  bool time_in_instance = false;
  unsigned int clock_checked_for = 0;
  WriteBatch writes;  // open while the ready queue's pass runs
};

struct LoopCoreObject {
  PyObject_HEAD
  LoopState state;  // constructed by loop_new, destroyed by loop_dealloc
};


LoopState& state_of(PyObject* self) { return reinterpret_cast<LoopCoreObject*>(self)->state; }

double monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Whether the loop's clock is our monotonic clock, not an override.
bool own_clock(PyObject* self) {
  LoopState& state = state_of(self);
  if (state.time_in_instance) return false;
  PyTypeObject* type = Py_TYPE(self);
  if (state.clock_checked_for != 0 && state.clock_checked_for == type->tp_version_tag) return true;
  // Looked up again only when the type changed since (its version moves).
  PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), state.module->names.time);
  if (found == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool ours = found == state.module->own_time;  // LoopCore's own descriptor
  Py_DECREF(found);
  state.clock_checked_for = ours ? type->tp_version_tag : 0;
  return ours;
}

// The loop's time as asyncio reads it (self.time()), in seconds; false with
// the error set when an override fails.
bool loop_now(PyObject* self, double& now) {
  if (own_clock(self)) {
    now = monotonic_now();
    return true;
  }
  PyRef value = PyRef::steal(PyObject_CallMethodNoArgs(self, state_of(self).module->names.time));
  now = value ? PyFloat_AsDouble(value.get()) : -1.0;
  return value && !(now == -1.0 && PyErr_Occurred());
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

// The arguments of call_soon(callback, *args, context=None) and its kin:
// call_at's `when` or call_later's `delay` comes first. As in asyncio, the
// named parameters may be passed by keyword too.
struct CallArguments {
  PyObject* first = nullptr;  // when or delay
  PyObject* callback = nullptr;
  PyRef args;
  PyObject* context = nullptr;
};

// `first` names the parameter before the callback, or is null when there is
// none.
bool parse_call(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* first, CallArguments& out) {
  const char* const names[] = {first, "callback"};
  PyObject** const slots[] = {&out.first, &out.callback};
  const int start = first ? 0 : 1;
  const Py_ssize_t named = 2 - start;
  for (Py_ssize_t i = 0; i < nargs && i < named; ++i) *slots[start + i] = args[i];
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    PyObject** slot = PyUnicode_EqualToUTF8(key, "context") ? &out.context : nullptr;
    for (int j = start; slot == nullptr && j < 2; ++j) {
      if (PyUnicode_EqualToUTF8(key, names[j])) slot = slots[j];
    }
    if (slot == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
      return false;
    }
    if (*slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", name, key);
      return false;
    }
    *slot = args[nargs + i];
  }
  for (int j = start; j < 2; ++j) {
    if (*slots[j] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", name, names[j]);
      return false;
    }
  }
  const Py_ssize_t count = nargs > named ? nargs - named : 0;
  out.args = PyRef::steal(PyTuple_New(count));
  if (!out.args) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyTuple_SET_ITEM(out.args.get(), i, Py_NewRef(args[named + i]));
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
      make_timer_handle(*state.module, self, when, call.callback, call.args.get(), call.context,
                        state.debug);
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

// Who installs a signal handler says so (the Python class, around asyncio's
// add_signal_handler and remove_signal_handler).
PyObject* loop_set_signals_watched(PyObject* self, PyObject* flag) {
  const int truth = PyObject_IsTrue(flag);
  if (truth < 0) return nullptr;
  state_of(self).signals_watched = truth;
  Py_RETURN_NONE;
}

PyObject* loop_call_soon(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  LoopState& state = state_of(self);
  CallArguments call;
  if (!parse_call("call_soon", args, nargs, kwnames, nullptr, call) || !check_open(state)) {
    return nullptr;
  }
  if (state.debug && !debug_checks(self, call.callback, "call_soon", true)) return nullptr;
  PyRef handle =
      make_handle(*state.module, self, call.callback, call.args.get(), call.context, state.debug);
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
  PyRef handle = make_handle(*state.module, self, args[0], args[1], args[2], state.debug);
  if (!handle || !push_ready(state, handle.share())) return nullptr;
  return handle.release();
}

PyObject* loop_call_soon_threadsafe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  LoopState& state = state_of(self);
  CallArguments call;
  if (!parse_call("call_soon_threadsafe", args, nargs, kwnames, nullptr, call) ||
      !check_open(state)) {
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
                        state.module->threadsafe_handle, call.callback, call.args.get(), self,
                        call.context ? call.context : Py_None, nullptr))
                  : make_threadsafe_handle(*state.module, self, call.callback, call.args.get(),
                                           call.context);
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
  if (!parse_call("call_at", args, nargs, kwnames, "when", call)) return nullptr;
  if (call.first == Py_None) {
    PyErr_SetString(PyExc_TypeError, "when cannot be None");
    return nullptr;
  }
  const double when = PyFloat_AsDouble(call.first);
  if (when == -1.0 && PyErr_Occurred()) return nullptr;
  // A NaN deadline compares false with everything: queued, it would never
  // come due and would hold back every timer behind it.
  if (std::isnan(when)) {
    PyErr_SetString(PyExc_ValueError, "when must not be NaN");
    return nullptr;
  }
  if (!check_open(state)) return nullptr;
  if (state.debug && !debug_checks(self, call.callback, "call_at", true)) return nullptr;
  return schedule_at(self, when, call).release();
}

PyObject* loop_call_later(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  LoopState& state = state_of(self);
  CallArguments call;
  if (!parse_call("call_later", args, nargs, kwnames, "delay", call)) return nullptr;
  if (call.first == Py_None) {
    PyErr_SetString(PyExc_TypeError, "delay must not be None");
    return nullptr;
  }
  const double delay = PyFloat_AsDouble(call.first);
  if (delay == -1.0 && PyErr_Occurred()) return nullptr;
  if (std::isnan(delay)) {
    PyErr_SetString(PyExc_ValueError, "delay must not be NaN");
    return nullptr;
  }
  if (!check_open(state)) return nullptr;
  if (state.debug && !debug_checks(self, call.callback, "call_at", true)) return nullptr;
  double now = 0;
  if (!loop_now(self, now)) return nullptr;
  return schedule_at(self, now + delay, call).release();
}

// Whether `handle` (ours or any object with asyncio's Handle interface) was
// cancelled: -1 on error.
int is_cancelled(const ModuleState& module, PyObject* handle) {
  if (is_handle(module, handle)) return reinterpret_cast<HandleObject*>(handle)->f.cancelled() ? 1 : 0;
  PyRef flag = PyRef::steal(PyObject_GetAttrString(handle, "_cancelled"));
  return flag ? PyObject_IsTrue(flag.get()) : -1;
}

PyObject* loop_add_callback(PyObject* self, PyObject* handle) {
  const int cancelled = is_cancelled(*state_of(self).module, handle);
  if (cancelled < 0) return nullptr;
  if (!cancelled && !push_ready(state_of(self), PyRef::borrow(handle))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* loop_timer_handle_cancelled(PyObject* self, PyObject* handle) {
  if (is_timer_handle(*state_of(self).module, handle)) {
    loop_core_timer_cancelled(self, reinterpret_cast<TimerHandleObject*>(handle));
  }
  Py_RETURN_NONE;
}

// Runs one handle as asyncio's debug mode does: noted as the current
// handle, and reported when it takes longer than slow_callback_duration.
int run_debug(PyObject* self, PyObject* handle, int (*run)(ModuleState&, PyObject*)) {
  if (PyObject_SetAttrString(self, "_current_handle", handle) < 0) return -1;
  double start = 0;
  double end = 0;
  if (!loop_now(self, start)) return -1;
  int status = run(*state_of(self).module, handle);
  if (status == 0 && !loop_now(self, end)) status = -1;
  const double took = end - start;
  PyObject* failure = status < 0 ? PyErr_GetRaisedException() : nullptr;
  if (status == 0) {
    PyRef limit = PyRef::steal(PyObject_GetAttrString(self, "slow_callback_duration"));
    const double seconds = limit ? PyFloat_AsDouble(limit.get()) : -1.0;
    if (!limit || (seconds == -1.0 && PyErr_Occurred())) {
      status = -1;
    } else if (took >= seconds) {
      PyRef text = PyRef::steal(PyObject_CallOneArg(state_of(self).module->format_handle, handle));
      PyRef logged = text ? PyRef::steal(PyObject_CallMethod(state_of(self).module->logger, "warning",
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

int run_any(ModuleState& module, PyObject* handle) {
  if (is_handle(module, handle)) return run_handle(module, reinterpret_cast<HandleObject*>(handle));
  if (is_threadsafe_handle(module, handle)) return run_threadsafe_handle(module, handle);
  PyRef done = PyRef::steal(PyObject_CallMethod(handle, "_run", nullptr));
  return done ? 0 : -1;
}

// The wait before the next iteration, as asyncio computes it: none while
// anything is ready or a stop is due, else until the first timer, at most a
// day; forever (-1) without timers. False with the error set when the
// loop's clock fails.
bool wait_timeout(PyObject* self, double& timeout) {
  LoopState& state = state_of(self);
  timeout = -1.0;
  if (!state.ready.empty() || state.stopping) {
    timeout = 0.0;
  } else if (!state.timers.empty()) {
    double now = 0;
    if (!loop_now(self, now)) return false;
    timeout = std::clamp(state.timers.top()->when - now, 0.0, maximum_wait);
  }
  return true;
}

// Queues the reader or writer of a ready descriptor, as asyncio's
// _process_events does: a cancelled one is unregistered instead.
int dispatch(PyObject* self, PyObject* fileobj, PyObject* handle, const char* remover) {
  if (handle == Py_None) return 0;
  const int cancelled = is_cancelled(*state_of(self).module, handle);
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

// Whether an iteration with callbacks ready may leave out its look for
// I/O. asyncio looks in every iteration, and programs count on it (two
// sleep(0) let a socket's data in), so the look is left out only where
// nothing could be found but a write to the loop's own wake-up pipe, which
// is always registered: the selector holds nothing else and no signal
// handler writes to that pipe. Even then the look comes at least every
// busy_poll_interval, and the first iteration of a run and its last (a stop
// is due) always look.
bool may_skip_look(LoopState& state, PyObject* selector, double timeout) {
  return timeout == 0.0 && !state.stopping && !state.signals_watched &&
         monotonic_now() - state.last_poll < busy_poll_interval &&
         is_selector(*state.module, selector) &&
         selector_key_count(selector) <= 1;
}

// Holds the transports' writes while it lives: the pass over the ready queue.
class PassOpen {
 public:
  explicit PassOpen(WriteBatch& batch) : batch_(batch) { batch_.set_open(true); }
  ~PassOpen() { batch_.set_open(false); }
  PassOpen(const PassOpen&) = delete;
  PassOpen& operator=(const PassOpen&) = delete;

 private:
  WriteBatch& batch_;
};

// One iteration: poll for I/O, queue the timers that are due, then run what
// was ready when the iteration began (not what those callbacks schedule),
// and send what they wrote to the loop's transports.
// Inside run_forever (`busy_polls` set) the look for I/O may be left out
// (may_skip_look): on a VM that system call costs as much as several
// callbacks.
int run_once(PyObject* self, bool busy_polls = false) {
  LoopState& state = state_of(self);
  // Left by a pass that ended in an error: sent before anything else.
  if (!state.writes.empty() && flush_writes(*state.module, state.writes) < 0) return -1;
  int polled = 0;
  {
    Waiting waiting(state.waiting);
    double timeout = 0;
    if (!wait_timeout(self, timeout)) return -1;
    PyRef selector = loop_core_selector(self);
    if (!selector) return -1;
    if (!busy_polls || !may_skip_look(state, selector.get(), timeout)) {
      polled = is_selector(*state.module, selector.get())
                   ? poll_native(self, selector.get(), timeout)
                   : poll_generic(self, selector.get(), timeout);
      state.last_poll = monotonic_now();
    }
  }
  if (polled < 0) return -1;

  if (!state.timers.empty()) {  // the clock is read only when a timer may be due
    double now = 0;
    if (!loop_now(self, now)) return -1;
    const double end = now + 1e-9;  // the clock's resolution, as asyncio's
    while (!state.timers.empty() && state.timers.top()->when < end) {
      if (!push_ready(state, state.timers.pop())) return -1;
    }
  }

  {
    PassOpen open(state.writes);
    for (std::size_t todo = state.ready.size(); todo > 0 && !state.ready.empty(); --todo) {
      PyRef handle = std::move(state.ready.front());
      state.ready.pop_front();
      const int cancelled = is_cancelled(*state.module, handle.get());
      if (cancelled < 0) return -1;
      if (cancelled) continue;
      const int status = state.debug ? run_debug(self, handle.get(), run_any)
                                     : run_any(*state.module, handle.get());
      if (status < 0) return -1;
    }
  }
  return state.writes.empty() ? 0 : flush_writes(*state.module, state.writes);
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
  // What the failed pass wrote still leaves, as asyncio sends a write at once.
  if (LoopState& state = state_of(self); !state.writes.empty()) {
    if (flush_writes(*state.module, state.writes) < 0) {
      if (failure == nullptr) {
        failure = PyErr_GetRaisedException();
      } else {
        PyErr_Clear();
      }
    }
  }
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

PyDoc_STRVAR(time_doc,
             "time($self)\n--\n\n"
             "Return the loop's current time: seconds on the monotonic clock, the\n"
             "clock of call_at() deadlines and of TimerHandle.when().");
PyDoc_STRVAR(call_soon_doc,
             "call_soon($self, callback, *args, context=None)\n--\n\n"
             "Schedule callback(*args) for the loop's next iteration and return its Handle.\n\n"
             "Callbacks run once each, in the order they were scheduled, in `context`\n"
             "(a copy of the current context when None).");
PyDoc_STRVAR(private_call_soon_doc,
             "_call_soon($self, callback, args, context, /)\n--\n\n"
             "Queue callback(*args) in context, without call_soon()'s checks.");
PyDoc_STRVAR(call_soon_threadsafe_doc,
             "call_soon_threadsafe($self, callback, *args, context=None)\n--\n\n"
             "Like call_soon(), but callable from any thread: a loop waiting for I/O\n"
             "wakes up to run it. The handle returned can be cancelled from any thread.");
PyDoc_STRVAR(call_later_doc,
             "call_later($self, delay, callback, *args, context=None)\n--\n\n"
             "Schedule callback(*args) to run once `delay` seconds have passed.\n\n"
             "Return a TimerHandle, whose cancel() drops the call. `context` is as in\n"
             "call_soon().");
PyDoc_STRVAR(call_at_doc,
             "call_at($self, when, callback, *args, context=None)\n--\n\n"
             "Schedule callback(*args) to run at `when`, a time on the loop's clock\n"
             "(see time()). Return a TimerHandle, whose cancel() drops the call.");
PyDoc_STRVAR(create_task_doc,
             "create_task($self, coro, **kwargs)\n--\n\n"
             "Wrap the coroutine in a task that runs on this loop, and return the task.\n\n"
             "The keywords (name, context, eager_start...) go to the task factory when\n"
             "one is set, else to asyncio.Task.");
PyDoc_STRVAR(add_callback_doc,
             "_add_callback($self, handle, /)\n--\n\n"
             "Queue a handle for the next iteration, unless it was cancelled.");
PyDoc_STRVAR(timer_handle_cancelled_doc,
             "_timer_handle_cancelled($self, handle, /)\n--\n\n"
             "Take a cancelled timer out of the loop's queue.");
PyDoc_STRVAR(run_once_doc,
             "_run_once($self)\n--\n\n"
             "Run one iteration: poll for I/O, queue the timers due, run what is ready.");
PyDoc_STRVAR(run_forever_doc,
             "run_forever($self)\n--\n\n"
             "Run the loop until stop() is called. The callbacks of the iteration in\n"
             "progress then still run before it returns.");
PyDoc_STRVAR(clear_queues_doc,
             "_clear_queues($self)\n--\n\n"
             "Drop every queued callback and timer, as close() does.");
PyDoc_STRVAR(add_reader_doc,
             "_add_reader($self, fd, callback, /, *args)\n--\n\n"
             "Call callback(*args) whenever fd is readable; return the new handle.");
PyDoc_STRVAR(add_writer_doc,
             "_add_writer($self, fd, callback, /, *args)\n--\n\n"
             "Call callback(*args) whenever fd is writable; return the new handle.");
PyDoc_STRVAR(remove_reader_doc,
             "_remove_reader($self, fd, /)\n--\n\n"
             "Stop watching fd for reading; return whether a reader was set.");
PyDoc_STRVAR(remove_writer_doc,
             "_remove_writer($self, fd, /)\n--\n\n"
             "Stop watching fd for writing; return whether a writer was set.");

PyMethodDef loop_methods[] = {
    {"time", loop_time, METH_NOARGS, time_doc},
    {"call_soon", velkor::as_method(loop_call_soon),
     METH_FASTCALL | METH_KEYWORDS, call_soon_doc},
    {"_call_soon",
     velkor::as_method(loop_private_call_soon),
     METH_FASTCALL, private_call_soon_doc},
    {"call_soon_threadsafe",
     velkor::as_method(loop_call_soon_threadsafe),
     METH_FASTCALL | METH_KEYWORDS, call_soon_threadsafe_doc},
    {"call_later", velkor::as_method(loop_call_later),
     METH_FASTCALL | METH_KEYWORDS, call_later_doc},
    {"call_at", velkor::as_method(loop_call_at),
     METH_FASTCALL | METH_KEYWORDS, call_at_doc},
    {"create_task", velkor::as_method(loop_create_task),
     METH_FASTCALL | METH_KEYWORDS, create_task_doc},
    {"_add_callback", loop_add_callback, METH_O, add_callback_doc},
    {"_timer_handle_cancelled", loop_timer_handle_cancelled, METH_O,
     timer_handle_cancelled_doc},
    {"_run_once", loop_run_once, METH_NOARGS, run_once_doc},
    {"run_forever", loop_run_forever, METH_NOARGS, run_forever_doc},
    {"_set_signals_watched", loop_set_signals_watched, METH_O,
     "_set_signals_watched($self, flag, /)\n--\n\nWhether a signal handler writes to the wake-up pipe."},
    {"_clear_queues", loop_clear_queues, METH_NOARGS, clear_queues_doc},
    {"_add_reader", velkor::as_method(loop_add_reader),
     METH_FASTCALL, add_reader_doc},
    {"_add_writer", velkor::as_method(loop_add_writer),
     METH_FASTCALL, add_writer_doc},
    {"_remove_reader", loop_remove_reader, METH_O, remove_reader_doc},
    {"_remove_writer", loop_remove_writer, METH_O, remove_writer_doc},
    {"_start_sock_recv", velkor::as_method(loop_start_sock_recv), METH_FASTCALL,
     "_start_sock_recv($self, sock, /, *args)\n--\n\nsock_recv's first attempt; see velkorio.Loop.sock_recv."},
    {"_start_sock_recv_into", velkor::as_method(loop_start_sock_recv_into), METH_FASTCALL,
     "_start_sock_recv_into($self, sock, /, *args)\n--\n\nsock_recv_into's first attempt; see velkorio.Loop.sock_recv_into."},
    {"_start_sock_recvfrom", velkor::as_method(loop_start_sock_recvfrom), METH_FASTCALL,
     "_start_sock_recvfrom($self, sock, /, *args)\n--\n\nsock_recvfrom's first attempt; see velkorio.Loop.sock_recvfrom."},
    {"_start_sock_recvfrom_into", velkor::as_method(loop_start_sock_recvfrom_into), METH_FASTCALL,
     "_start_sock_recvfrom_into($self, sock, /, *args)\n--\n\nsock_recvfrom_into's first attempt; see velkorio.Loop.sock_recvfrom_into."},
    {"_start_sock_sendall", velkor::as_method(loop_start_sock_sendall), METH_FASTCALL,
     "_start_sock_sendall($self, sock, /, *args)\n--\n\nsock_sendall's first attempt; see velkorio.Loop.sock_sendall."},
    {"_start_sock_sendto", velkor::as_method(loop_start_sock_sendto), METH_FASTCALL,
     "_start_sock_sendto($self, sock, /, *args)\n--\n\nsock_sendto's first attempt; see velkorio.Loop.sock_sendto."},
    {"_start_sock_accept", velkor::as_method(loop_start_sock_accept), METH_FASTCALL,
     "_start_sock_accept($self, sock, /, *args)\n--\n\nsock_accept's first attempt; see velkorio.Loop.sock_accept."},
    {"_start_sock_connect", velkor::as_method(loop_start_sock_connect), METH_FASTCALL,
     "_start_sock_connect($self, sock, /, *args)\n--\n\nsock_connect's first attempt; see velkorio.Loop.sock_connect."},
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

PyObject* get_selector(PyObject* self, void*) { return loop_core_selector(self).release(); }
int set_selector(PyObject* self, PyObject* value, void*) {
  // The old one is released after the new one is in place.
  PyRef old = std::exchange(state_of(self).selector, PyRef::borrow(value));
  return 0;
}

PyGetSetDef loop_getset[] = {
    {"_selector", get_selector, set_selector, nullptr, nullptr},
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

// Notes whether an instance attribute shadows the loop's `time` (as
// mock.patch.object(loop, "time") makes one), then sets as usual.
int loop_setattro(PyObject* self, PyObject* name, PyObject* value) {
  const int status = PyObject_GenericSetAttr(self, name, value);
  if (status == 0 && PyUnicode_Check(name) && PyUnicode_EqualToUTF8(name, "time")) {
    state_of(self).time_in_instance = value != nullptr;
  }
  return status;
}

PyObject* loop_new(PyTypeObject* type, PyObject*, PyObject*) {
  ModuleState* module = state_of_type(type);
  if (module == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&state_of(self)) LoopState{};
  state_of(self).module = module;
  return self;
}

int loop_traverse(PyObject* self, visitproc visit, void* arg) {
  LoopState& state = state_of(self);
  Py_VISIT(Py_TYPE(self));
  for (const PyRef& handle : state.ready) Py_VISIT(handle.get());
  for (const PyRef& timer : state.timers.entries()) Py_VISIT(timer.get());
  Py_VISIT(state.debug_value.get());
  Py_VISIT(state.selector.get());
  return state.writes.traverse([&](PyObject* object) {
    Py_VISIT(object);
    return 0;
  });
}

int loop_clear(PyObject* self) {
  LoopState& state = state_of(self);
  std::deque<PyRef> ready = std::exchange(state.ready, {});
  std::vector<PyRef> timers = state.timers.take_all();
  PyRef debug = std::move(state.debug_value);
  PyRef selector = std::move(state.selector);
  std::vector<WriteBatch::Entry> writes = state.writes.take_all();
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
    {Py_tp_doc, const_cast<char*>(
                    "The native core of velkorio's event loop: its queue of ready callbacks,\n"
                    "its timers and its iteration. velkorio.Loop builds on it.")},
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {Py_tp_setattro, reinterpret_cast<void*>(loop_setattro)},
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

bool init_loop_core_type(PyObject* module, ModuleState& state) {
  state.loop_core_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &loop_spec, nullptr));
  if (state.loop_core_type == nullptr) return false;
  state.own_time = PyObject_GetAttr(reinterpret_cast<PyObject*>(state.loop_core_type),
                                    state.names.time);
  return state.own_time != nullptr && PyModule_AddType(module, state.loop_core_type) == 0;
}

ModuleState& loop_core_module(PyObject* loop) { return *state_of(loop).module; }

WriteBatch* loop_core_write_batch(PyObject* loop) { return &state_of(loop).writes; }

bool loop_core_debug(PyObject* loop) { return state_of(loop).debug; }

PyRef loop_core_selector(PyObject* loop) {
  LoopState& state = state_of(loop);
  if (!state.selector) {
    PyErr_SetString(PyExc_AttributeError, "the loop has no _selector");
    return {};
  }
  return state.selector.share();
}
bool loop_core_closed(PyObject* loop) { return state_of(loop).closed; }

int loop_core_only_reader_ready(PyObject* loop) {
  LoopState& state = state_of(loop);
  if (!state.ready.empty() || state.stopping || state.signals_watched) return 0;
  // The reader's descriptor and the wake-up pipe, which call_soon_threadsafe
  // does not need while the loop runs (it queues its handle itself).
  if (!state.selector || !is_selector(*state.module, state.selector.get()) ||
      selector_key_count(state.selector.get()) > 2) {
    return 0;
  }
  if (state.timers.empty()) return 1;
  double now = 0;
  if (!loop_now(loop, now)) return -1;
  return state.timers.top()->when >= now + 1e-9 ? 1 : 0;  // run_once's test for a due timer
}

void loop_core_timer_cancelled(PyObject* loop, TimerHandleObject* timer) {
  if (timer->heap_index < 0) return;
  // Released here, with nothing of ours half-done.
  PyRef removed = state_of(loop).timers.remove(static_cast<std::size_t>(timer->heap_index));
}

}  // namespace velkorio
