#include "selector.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <time.h>
#include <unistd.h>

#include "module_state.h"
#include "core/as_method.h"
#include "core/lock_released.h"
#include "core/pyref.h"
#include "busy_poll.h"
#include "deadline_timer.h"
#include "runtime/invariant.h"

namespace velkorio {

// keys[fd] (borrowed), or null, with an error set only when the lookup failed.
PyObject* selector_key_in(PyObject* keys, int fd);

namespace {

using velkor::PyRef;

constexpr int event_read = 1;
constexpr int event_write = 2;

struct SelectorState {
  ModuleState* module = nullptr;  // its type's module's, which the type keeps alive
  int epoll_fd = -1;
  PyRef keys;  // dict: fd -> selectors.SelectorKey
  DeadlineTimer deadline;  // ends waits shorter than precise_wait_limit
  BusyPoll busy_poll;      // looking for I/O before a sleep
};

// Waits shorter than this end on the deadline timer rather than on epoll's
// timeout: below it the kernel's 50 µs timer slack is more than 0.1 % of
// the wait (above, the slack it applies grows with the wait anyway).
constexpr double precise_wait_limit = 0.05;

// Whether the kernel refused epoll_pwait2 once: then nobody asks again.
std::atomic<bool> pwait2_refused{false};

struct SelectorObject {
  PyObject_HEAD
  SelectorState state;
};


SelectorState& state_of(PyObject* self) { return reinterpret_cast<SelectorObject*>(self)->state; }

std::uint32_t epoll_events(long mask) {
  std::uint32_t events = 0;
  if (mask & event_read) events |= EPOLLIN;
  if (mask & event_write) events |= EPOLLOUT;
  return events;
}

bool check_open(SelectorState& state) {
  if (state.keys) return true;
  PyErr_SetString(PyExc_RuntimeError, "Selector is closed");
  return false;
}

// The descriptor of `fileobj`, as selectors finds it: an int, or fileno();
// failing that, a registered key with this very file object (a file closed
// since). -1 with ValueError set when there is none.
int descriptor_of(SelectorState& state, PyObject* fileobj) {
  long fd = -1;
  if (PyLong_Check(fileobj)) {
    fd = PyLong_AsLong(fileobj);
    if (fd == -1 && PyErr_Occurred()) return -1;
  } else {
    PyRef number = PyRef::steal(PyObject_CallMethod(fileobj, "fileno", nullptr));
    PyRef as_int = number ? PyRef::steal(PyNumber_Long(number.get())) : PyRef();
    if (as_int) fd = PyLong_AsLong(as_int.get());
    if (!as_int || (fd == -1 && PyErr_Occurred())) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
          !PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return -1;
      }
      PyErr_Clear();
      fd = -2;
    }
  }
  if (fd >= 0 && fd <= INT32_MAX) return static_cast<int>(fd);
  if (state.keys) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(state.keys.get(), &position, &key, &value)) {
      if (PyTuple_GET_ITEM(value, 0) == fileobj) return static_cast<int>(PyLong_AsLong(key));
    }
  }
  if (fd == -2) {
    PyErr_Format(PyExc_ValueError, "Invalid file object: %R", fileobj);
  } else {
    PyErr_Format(PyExc_ValueError, "Invalid file descriptor: %ld", fd);
  }
  return -1;
}

bool valid_mask(PyObject* events, long& mask) {
  mask = PyLong_AsLong(events);
  if (mask == -1 && PyErr_Occurred()) return false;
  if (mask == 0 || (mask & ~(event_read | event_write))) {
    PyErr_Format(PyExc_ValueError, "Invalid events: %R", events);
    return false;
  }
  return true;
}

PyRef make_key(SelectorState& state, PyObject* fileobj, int fd, PyObject* events,
               PyObject* data) {
  return PyRef::steal(PyObject_CallFunction(state.module->selector_key, "OiOO", fileobj, fd,
                                            events, data ? data : Py_None));
}

// Changes the events of a registered descriptor. When the kernel refuses
// (the descriptor was closed without being unregistered, and its number
// may name another file now) the entry goes, as the standard library's
// selectors drop it, so that registering the number again can succeed.
// False with the error set.
bool change_events(SelectorState& state, int fd, long mask) {
  epoll_event event{};
  event.events = epoll_events(mask);
  event.data.fd = fd;
  if (epoll_ctl(state.epoll_fd, EPOLL_CTL_MOD, fd, &event) == 0) return true;
  const int error = errno;
  PyRef number = PyRef::steal(PyLong_FromLong(fd));
  if (!number) return false;
  // Held until the map no longer has it: releasing it may run Python code.
  PyRef dropped = PyRef::borrow(selector_key_in(state.keys.get(), fd));
  if (dropped && PyDict_DelItem(state.keys.get(), number.get()) < 0) return false;
  epoll_ctl(state.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  errno = error;
  PyErr_SetFromErrno(PyExc_OSError);
  return false;
}

PyObject* selector_register(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"fileobj", "events", "data", nullptr};
  PyObject* fileobj = nullptr;
  PyObject* events = nullptr;
  PyObject* data = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:register", const_cast<char**>(names),
                                   &fileobj, &events, &data)) {
    return nullptr;
  }
  SelectorState& state = state_of(self);
  long mask = 0;
  if (!check_open(state) || !valid_mask(events, mask)) return nullptr;
  const int fd = descriptor_of(state, fileobj);
  if (fd < 0) return nullptr;
  PyRef number = PyRef::steal(PyLong_FromLong(fd));
  if (!number) return nullptr;
  const int known = PyDict_Contains(state.keys.get(), number.get());
  if (known < 0) return nullptr;
  if (known) {
    PyErr_Format(PyExc_KeyError, "%R (FD %d) is already registered", fileobj, fd);
    return nullptr;
  }
  PyRef key = make_key(state, fileobj, fd, events, data);
  if (!key) return nullptr;
  epoll_event event{};
  event.events = epoll_events(mask);
  event.data.fd = fd;
  if (epoll_ctl(state.epoll_fd, EPOLL_CTL_ADD, fd, &event) < 0) return PyErr_SetFromErrno(PyExc_OSError);
  if (PyDict_SetItem(state.keys.get(), number.get(), key.get()) < 0) {
    epoll_ctl(state.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    return nullptr;
  }
  return key.release();
}

// The key registered for `fileobj` (a new reference), or null with
// KeyError set.
PyRef registered_key(SelectorState& state, PyObject* fileobj, int& fd) {
  fd = descriptor_of(state, fileobj);
  if (fd < 0) return {};
  PyObject* key = selector_key_in(state.keys.get(), fd);
  if (key == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "%R is not registered", fileobj);
    return {};
  }
  return PyRef::borrow(key);
}

PyObject* selector_unregister(PyObject* self, PyObject* fileobj) {
  SelectorState& state = state_of(self);
  if (!check_open(state)) return nullptr;
  int fd = -1;
  PyRef key = registered_key(state, fileobj, fd);
  if (!key) return nullptr;
  PyRef number = PyRef::steal(PyLong_FromLong(fd));
  if (!number || PyDict_DelItem(state.keys.get(), number.get()) < 0) return nullptr;
  // A descriptor closed before it was unregistered has left the set already.
  epoll_ctl(state.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  return key.release();
}

PyObject* selector_modify(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"fileobj", "events", "data", nullptr};
  PyObject* fileobj = nullptr;
  PyObject* events = nullptr;
  PyObject* data = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:modify", const_cast<char**>(names),
                                   &fileobj, &events, &data)) {
    return nullptr;
  }
  SelectorState& state = state_of(self);
  long mask = 0;
  if (!check_open(state)) return nullptr;
  int fd = -1;
  PyRef key = registered_key(state, fileobj, fd);
  if (!key) return nullptr;
  if (!valid_mask(events, mask)) return nullptr;
  const long old_mask = PyLong_AsLong(PyTuple_GET_ITEM(key.get(), 2));
  if (mask != old_mask && !change_events(state, fd, mask)) return nullptr;
  if (mask != old_mask || PyTuple_GET_ITEM(key.get(), 3) != data) {
    key = make_key(state, PyTuple_GET_ITEM(key.get(), 0), fd, events, data);
    PyRef number = key ? PyRef::steal(PyLong_FromLong(fd)) : PyRef();
    if (!number || PyDict_SetItem(state.keys.get(), number.get(), key.get()) < 0) return nullptr;
  }
  return key.release();
}

PyObject* selector_get_key(PyObject* self, PyObject* fileobj) {
  SelectorState& state = state_of(self);
  if (!check_open(state)) return nullptr;
  int fd = -1;
  return registered_key(state, fileobj, fd).release();
}

// A live view from file object (or descriptor) to key, as selectors gives.
PyObject* selector_get_map(PyObject* self, PyObject*) {
  SelectorState& state = state_of(self);
  if (!state.keys) Py_RETURN_NONE;
  return PyObject_CallOneArg(state.module->selector_mapping, self);
}

void close_state(SelectorState& state) {
  state.deadline.reset();
  if (state.epoll_fd >= 0) close(state.epoll_fd);
  state.epoll_fd = -1;
  PyRef keys = std::move(state.keys);
}

PyObject* selector_close(PyObject* self, PyObject*) {
  close_state(state_of(self));
  Py_RETURN_NONE;
}

PyObject* selector_fileno(PyObject* self, PyObject*) {
  return PyLong_FromLong(state_of(self).epoll_fd);
}

PyObject* selector_select(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"timeout", nullptr};
  PyObject* timeout_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:select", const_cast<char**>(names),
                                   &timeout_object)) {
    return nullptr;
  }
  double timeout = -1.0;
  if (timeout_object != Py_None) {
    timeout = PyFloat_AsDouble(timeout_object);
    if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
    if (timeout < 0) timeout = 0;
  }
  std::vector<epoll_event> events;
  if (select_native(self, timeout, events) < 0) return nullptr;
  PyRef ready = PyRef::steal(PyList_New(0));
  if (!ready) return nullptr;
  SelectorState& state = state_of(self);
  for (const epoll_event& event : events) {
    PyObject* key = selector_key_in(state.keys.get(), event.data.fd);
    if (key == nullptr) {
      if (PyErr_Occurred()) return nullptr;
      continue;
    }
    const long wanted = PyLong_AsLong(PyTuple_GET_ITEM(key, 2));
    PyRef pair = PyRef::steal(Py_BuildValue("(Ol)", key, event_mask(event.events) & wanted));
    if (!pair || PyList_Append(ready.get(), pair.get()) < 0) return nullptr;
  }
  return ready.release();
}

// selectors' private lookup, which its _SelectorMapping (get_map) uses.
PyObject* selector_fileobj_lookup(PyObject* self, PyObject* fileobj) {
  const int fd = descriptor_of(state_of(self), fileobj);
  return fd < 0 ? nullptr : PyLong_FromLong(fd);
}

PyObject* get_fd_to_key(PyObject* self, void*) {
  SelectorState& state = state_of(self);
  if (!check_open(state)) return nullptr;
  return state.keys.share().release();
}

// busy_poll: the longest look for I/O before a sleep, in whole
// microseconds; 0 turns it off.
PyObject* get_busy_poll(PyObject* self, void*) {
  return PyLong_FromLongLong(std::llround(state_of(self).busy_poll.limit() * 1e6));
}
int set_busy_poll(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "busy_poll cannot be deleted");
    return -1;
  }
  const long long microseconds = PyLong_AsLongLong(value);
  if (microseconds == -1 && PyErr_Occurred()) return -1;
  // Longer windows would hold back Python signal handlers (which only
  // a wake-up pipe cuts short) for that long.
  if (microseconds < 0 || microseconds > 10'000) {
    PyErr_SetString(PyExc_ValueError, "busy_poll must be from 0 to 10000 microseconds");
    return -1;
  }
  state_of(self).busy_poll.set_limit(static_cast<double>(microseconds) * 1e-6);
  return 0;
}

// (window in microseconds, windows that found I/O, windows that missed):
// for tests and figures.
PyObject* selector_busy_poll_stats(PyObject* self, PyObject*) {
  const BusyPoll& policy = state_of(self).busy_poll;
  return Py_BuildValue("(dKK)", policy.window() * 1e6,
                       static_cast<unsigned long long>(policy.found_count()),
                       static_cast<unsigned long long>(policy.missed_count()));
}

PyGetSetDef selector_getset[] = {
    {"_fd_to_key", get_fd_to_key, nullptr, nullptr, nullptr},
    {"busy_poll", get_busy_poll, set_busy_poll,
     "The longest look for I/O before a sleep, in microseconds (0: off).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* selector_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }
PyObject* selector_exit(PyObject* self, PyObject*) {
  close_state(state_of(self));
  Py_RETURN_NONE;
}

PyDoc_STRVAR(register_doc,
             "register($self, fileobj, events, data=None)\n--\n\n"
             "Watch fileobj (a descriptor or an object with fileno()) for `events`, a mask\n"
             "of EVENT_READ and EVENT_WRITE. Return its new SelectorKey.");
PyDoc_STRVAR(unregister_doc,
             "unregister($self, fileobj, /)\n--\n\n"
             "Stop watching fileobj and return the key it had.");
PyDoc_STRVAR(modify_doc,
             "modify($self, fileobj, events, data=None)\n--\n\n"
             "Change the events and data of a registered fileobj; return its new key.");
PyDoc_STRVAR(select_doc,
             "select($self, timeout=None)\n--\n\n"
             "Wait until a registered file is ready, at most `timeout` seconds (forever\n"
             "when None, not at all when 0 or less). Return a list of (key, events).");
PyDoc_STRVAR(get_key_doc,
             "get_key($self, fileobj, /)\n--\n\n"
             "Return the key of a registered fileobj; raise KeyError if there is none.");
PyDoc_STRVAR(get_map_doc,
             "get_map($self)\n--\n\n"
             "Return a read-only mapping from file objects to their keys, which follows\n"
             "later registrations; None once the selector is closed.");
PyDoc_STRVAR(close_doc,
             "close($self)\n--\n\n"
             "Close the selector and drop every registration.");
PyDoc_STRVAR(fileno_doc,
             "fileno($self)\n--\n\n"
             "Return the descriptor of the underlying epoll object, -1 once closed.");
PyDoc_STRVAR(fileobj_lookup_doc,
             "_fileobj_lookup($self, fileobj, /)\n--\n\n"
             "Return the descriptor of fileobj, or raise ValueError.");
PyDoc_STRVAR(enter_doc, "__enter__($self)\n--\n\nReturn the selector itself.");
PyDoc_STRVAR(exit_doc, "__exit__($self, *args)\n--\n\nClose the selector.");

PyMethodDef selector_methods[] = {
    {"register", velkor::as_method(selector_register),
     METH_VARARGS | METH_KEYWORDS, register_doc},
    {"unregister", selector_unregister, METH_O, unregister_doc},
    {"modify", velkor::as_method(selector_modify),
     METH_VARARGS | METH_KEYWORDS, modify_doc},
    {"select", velkor::as_method(selector_select),
     METH_VARARGS | METH_KEYWORDS, select_doc},
    {"get_key", selector_get_key, METH_O, get_key_doc},
    {"get_map", selector_get_map, METH_NOARGS, get_map_doc},
    {"close", selector_close, METH_NOARGS, close_doc},
    {"fileno", selector_fileno, METH_NOARGS, fileno_doc},
    {"_fileobj_lookup", selector_fileobj_lookup, METH_O, fileobj_lookup_doc},
    {"_busy_poll_stats", selector_busy_poll_stats, METH_NOARGS,
     "_busy_poll_stats($self)\n--\n\n"
     "Return (window in microseconds, windows that found I/O, windows that missed)."},
    {"__enter__", selector_enter, METH_NOARGS, enter_doc},
    {"__exit__", selector_exit, METH_VARARGS, exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* selector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!PyArg_ParseTuple(args, ":Selector") || (kwargs && PyDict_GET_SIZE(kwargs) > 0)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Selector() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  SelectorState& state = *new (&state_of(self)) SelectorState{};
  // The type is exactly ours (it takes no subclasses), made by its module.
  state.module = static_cast<ModuleState*>(PyType_GetModuleState(type));
  state.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  state.keys = PyRef::steal(PyDict_New());
  if (state.epoll_fd < 0 || !state.keys) {
    if (state.epoll_fd < 0) PyErr_SetFromErrno(PyExc_OSError);
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

int selector_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(state_of(self).keys.get());
  return 0;
}

int selector_clear(PyObject* self) {
  PyRef keys = std::move(state_of(self).keys);
  return 0;
}

void selector_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  close_state(state_of(self));
  std::destroy_at(&state_of(self));
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot selector_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Selector()\n--\n\n"
                    "An epoll selector with the interface of the selectors module's, which\n"
                    "velkorio's loop waits in without going through Python.")},
    {Py_tp_new, reinterpret_cast<void*>(selector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(selector_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(selector_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(selector_clear)},
    {Py_tp_methods, selector_methods},
    {Py_tp_getset, selector_getset},
    {0, nullptr},
};

PyType_Spec selector_spec = {
    "velkorio.Selector",
    sizeof(SelectorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    selector_slots,
};

double now_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

PyObject* selector_key_in(PyObject* keys, int fd) {
  if (keys == nullptr) return nullptr;
  PyRef number = PyRef::steal(PyLong_FromLong(fd));
  return number ? PyDict_GetItemWithError(keys, number.get()) : nullptr;
}


bool init_selector_type(PyObject* module, ModuleState& state) {
  state.selector_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &selector_spec, nullptr));
  return state.selector_type != nullptr && PyModule_AddType(module, state.selector_type) == 0;
}

Py_ssize_t selector_key_count(PyObject* selector) {
  PyObject* keys = state_of(selector).keys.get();
  return keys ? PyDict_GET_SIZE(keys) : 0;
}

PyObject* selector_key(PyObject* selector, int fd) {
  return selector_key_in(state_of(selector).keys.get(), fd);
}

PyObject* selector_find(PyObject* selector, PyObject* fileobj, int& fd) {
  SelectorState& state = state_of(selector);
  if (!check_open(state)) return nullptr;
  fd = descriptor_of(state, fileobj);
  return fd < 0 ? nullptr : selector_key_in(state.keys.get(), fd);
}

bool selector_put(PyObject* selector, PyObject* fileobj, int fd, long mask, PyObject* data) {
  SelectorState& state = state_of(selector);
  if (!check_open(state)) return false;
  PyObject* old = selector_key_in(state.keys.get(), fd);
  if (old == nullptr && PyErr_Occurred()) return false;
  const long old_mask = old ? PyLong_AsLong(PyTuple_GET_ITEM(old, 2)) : 0;
  PyRef events = PyRef::steal(PyLong_FromLong(mask));
  PyRef key = events ? make_key(state, old ? PyTuple_GET_ITEM(old, 0) : fileobj, fd, events.get(), data)
                     : PyRef();
  PyRef number = key ? PyRef::steal(PyLong_FromLong(fd)) : PyRef();
  if (!number) return false;
  if (old != nullptr && mask != old_mask) {
    if (!change_events(state, fd, mask)) return false;
  } else if (old == nullptr) {
    epoll_event event{};
    event.events = epoll_events(mask);
    event.data.fd = fd;
    if (epoll_ctl(state.epoll_fd, EPOLL_CTL_ADD, fd, &event) < 0) {
      PyErr_SetFromErrno(PyExc_OSError);
      return false;
    }
  }
  if (PyDict_SetItem(state.keys.get(), number.get(), key.get()) < 0) {
    if (old == nullptr) epoll_ctl(state.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    return false;
  }
  VELKOR_INVARIANT(PyLong_AsLong(PyTuple_GET_ITEM(key.get(), 1)) == fd,
                   "a selector key is filed under its own descriptor");
  return true;
}

bool selector_remove(PyObject* selector, int fd) {
  SelectorState& state = state_of(selector);
  if (!check_open(state)) return false;
  PyRef number = PyRef::steal(PyLong_FromLong(fd));
  if (!number) return false;
  // Held until the set no longer has it: the key may own the last
  // reference to a handle whose release runs Python code.
  PyRef key = PyRef::borrow(selector_key_in(state.keys.get(), fd));
  if (PyDict_DelItem(state.keys.get(), number.get()) < 0) return false;
  epoll_ctl(state.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  return true;
}

namespace {

// Looks for I/O without sleeping, with the interpreter lock released, until
// something is found, the window closes or `deadline` (when not negative)
// comes. 1 when `events` holds what was found, 0 when nothing was, -1 with
// the error set.
int look_before_sleep(SelectorState& state, std::vector<epoll_event>& events, double deadline) {
  BusyPoll& policy = state.busy_poll;
  double until = now_seconds() + policy.window();
  if (deadline >= 0) until = std::min(until, deadline);
  const int size = static_cast<int>(events.size());
  int count = 0;
  int error = 0;
  {
    velkor::LockReleased released;
    for (;;) {
      count = epoll_wait(state.epoll_fd, events.data(), size, 0);
      if (count > 0) {
        // A stale deadline timer's expiry is not I/O: read off, and on.
        const auto first = events.begin();
        const auto kept = std::remove_if(first, first + count, [&](const epoll_event& event) {
          return state.deadline.consume(event);
        });
        count = static_cast<int>(kept - first);
        if (count > 0) break;
      }
      if (count < 0) {
        error = errno;
        break;
      }
      if (now_seconds() >= until) break;
    }
  }
  if (count > 0) {
    events.resize(static_cast<std::size_t>(count));
    policy.found();
    return 1;
  }
  if (count < 0 && error != EINTR) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
  }
  policy.missed();
  return 0;
}

}  // namespace

int select_native(PyObject* selector, double timeout, std::vector<epoll_event>& events) {
  SelectorState& state = state_of(selector);
  if (!check_open(state)) return -1;
  // One more than the keys: the deadline timer's event.
  const std::size_t capacity =
      static_cast<std::size_t>(PyDict_GET_SIZE(state.keys.get())) + 1;
  events.resize(capacity);
  const double wait_began = now_seconds();
  const double deadline = timeout < 0 ? -1.0 : wait_began + timeout;
  if (timeout != 0 && state.busy_poll.window() > 0) {
    const int found = look_before_sleep(state, events, deadline);
    if (found != 0) return found > 0 ? 0 : -1;
    // Signal handlers that came due during the look run now, as they would
    // have on the sleep's interruption.
    if (PyErr_CheckSignals() < 0) return -1;
    if (timeout > 0 && now_seconds() >= deadline) {
      events.clear();  // the next timer is due
      return 0;
    }
  }
  bool precise = false;
  if (timeout > 0 && timeout < precise_wait_limit) {
    timespec at{};
    at.tv_sec = static_cast<time_t>(deadline);
    at.tv_nsec = static_cast<long>((deadline - static_cast<double>(at.tv_sec)) * 1e9);
    precise = state.deadline.arm(state.epoll_fd, at);
  } else if (timeout != 0) {
    state.deadline.disarm();
  }
  for (;;) {
    int count = 0;
    int error = 0;
    const int size = static_cast<int>(capacity);
    if (timeout == 0) {
      // A look that cannot block keeps the interpreter lock.
      count = epoll_wait(state.epoll_fd, events.data(), size, 0);
      error = errno;
    } else {
      // To the nanosecond, so that a timer is not run up to a millisecond
      // late as a wait in whole milliseconds would.
      timespec wait{};
      timespec* until = nullptr;
      if (timeout > 0) {
        // With the deadline timer armed, the timeout is only a backstop.
        const double left = std::max(0.0, deadline - now_seconds()) + (precise ? 1e-3 : 0.0);
        wait.tv_sec = static_cast<time_t>(left);
        wait.tv_nsec = static_cast<long>((left - static_cast<double>(wait.tv_sec)) * 1e9);
        until = &wait;
      }
      velkor::LockReleased released;
      const bool precise_wait = !pwait2_refused.load(std::memory_order_relaxed);
      if (precise_wait) {
        count = epoll_pwait2(state.epoll_fd, events.data(), size, until, nullptr);
        error = errno;
      }
      // Kernels before 5.11 have no epoll_pwait2 (ENOSYS), and some
      // sandboxes forbid it (EPERM), which it never answers otherwise:
      // remembered for the process, so that only the first wait tries.
      if (precise_wait && count < 0 && (error == ENOSYS || error == EPERM)) {
        pwait2_refused.store(true, std::memory_order_relaxed);
      }
      if (pwait2_refused.load(std::memory_order_relaxed)) {
        // Whole milliseconds, rounded up.
        const int wait_ms = until ? static_cast<int>(std::min(
                                        std::ceil((static_cast<double>(wait.tv_sec) +
                                                   static_cast<double>(wait.tv_nsec) * 1e-9) * 1e3),
                                        2147483647.0))
                                  : -1;
        count = epoll_wait(state.epoll_fd, events.data(), size, wait_ms);
        error = errno;
      }
    }
    if (count >= 0) {
      events.resize(static_cast<std::size_t>(count));
      std::erase_if(events, [&](const epoll_event& event) { return state.deadline.consume(event); });
      if (timeout != 0) state.busy_poll.slept(now_seconds() - wait_began, !events.empty());
      return 0;
    }
    if (error != EINTR) {
      errno = error;
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    if (PyErr_CheckSignals() < 0) return -1;
  }
}

}  // namespace velkorio
