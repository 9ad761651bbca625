#pragma once
// Selector: the loop's readiness set, an epoll instance with the interface
// of the standard library's selectors (register, modify, unregister,
// select, get_key, get_map), level-triggered as asyncio's transports expect:
// a descriptor whose data stays unread is reported again at the next look.
//
// The loop's iteration waits in it natively (select_native), without the
// (key, events) list that select() builds for other callers.

#include <Python.h>
#include <sys/epoll.h>

#include <cstdint>
#include <vector>

#include "module_state.h"

namespace velkorio {

bool init_selector_type(PyObject* module, ModuleState& state);

inline bool is_selector(const ModuleState& state, PyObject* object) {
  return object != nullptr && Py_IS_TYPE(object, state.selector_type);
}

// Waits up to `timeout` seconds (forever when negative) with the
// interpreter lock released, and fills `events`. Retries after a signal,
// once its Python handler has run; -1 with the error set when that handler
// raises or the wait fails.
int select_native(PyObject* selector, double timeout, std::vector<epoll_event>& events);

// How many descriptors are registered.
Py_ssize_t selector_key_count(PyObject* selector);

// The key registered for `fd` (borrowed), or null when there is none.
PyObject* selector_key(PyObject* selector, int fd);

// The key registered for `fileobj` (borrowed), or null when there is none
// or the lookup failed (with the error set); `fd` receives its descriptor.
PyObject* selector_find(PyObject* selector, PyObject* fileobj, int& fd);

// Registers `fd` for `mask` with `data`, or changes its entry to that when
// it has one. False with the error set.
bool selector_put(PyObject* selector, PyObject* fileobj, int fd, long mask, PyObject* data);

// Takes `fd` out of the set. False with the error set.
bool selector_remove(PyObject* selector, int fd);

// The selectors mask (EVENT_READ 1, EVENT_WRITE 2) of an epoll event, as
// the standard library's epoll selector reports it: errors and hang-ups
// wake both directions.
inline int event_mask(std::uint32_t events) {
  int mask = 0;
  if (events & ~static_cast<std::uint32_t>(EPOLLIN)) mask |= 2;
  if (events & ~static_cast<std::uint32_t>(EPOLLOUT)) mask |= 1;
  return mask;
}

}  // namespace velkorio
