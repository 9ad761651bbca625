// The VelkorLoop type: its method entries, which parse and convert
// arguments and call the native operations, and the type's slots.

#include <cstddef>
#include <exception>
#include <new>

#include "args.h"
#include "core/as_method.h"
#include "event_loop/event_loop.h"
#include "panic.h"

namespace velkor {

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void loop_dealloc(PyObject* self);
int loop_traverse(PyObject* self, visitproc visit, void* arg);
int loop_clear(PyObject* self);

namespace {

using args::Kind;
using args::Param;

// Every entry first releases what worker threads have left behind, and no
// C++ exception ever crosses into the interpreter.
template <typename Body>
PyObject* enter(Body&& body) noexcept {
  try {
    deferred::release_pending();
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_panic(error.what());
  } catch (...) {
    return raise_panic("unexpected native exception");
  }
}

constexpr Param kw_context{"context", Kind::keyword_only, false};
// Interned "context": the object asyncio's own keyword names are.
PyObject* context_name = nullptr;

constexpr Param set_debug_params[] = {{"value", Kind::positional_or_keyword, true}};
constexpr args::Signature set_debug_sig{"VelkorLoop.set_debug", set_debug_params, false};

constexpr Param create_task_params[] = {{"coro", Kind::positional_or_keyword, true},
                                        {"name", Kind::keyword_only, false},
                                        kw_context};
constexpr args::Signature create_task_sig{"VelkorLoop.create_task", create_task_params, false};

constexpr Param future_params[] = {{"future", Kind::positional_or_keyword, true}};
constexpr args::Signature run_until_complete_sig{"VelkorLoop.run_until_complete", future_params,
                                                 false};

constexpr Param stop_cb_params[] = {{"_fut", Kind::positional_or_keyword, true}};
constexpr args::Signature stop_cb_sig{"VelkorLoop._stop_cb", stop_cb_params, false};

constexpr Param call_soon_params[] = {{"callback", Kind::positional_or_keyword, true}, kw_context};
constexpr args::Signature call_soon_sig{"VelkorLoop.call_soon", call_soon_params, true};
constexpr args::Signature call_soon_threadsafe_sig{"VelkorLoop.call_soon_threadsafe",
                                                   call_soon_params, true};

constexpr Param call_later_params[] = {{"delay", Kind::positional_or_keyword, true},
                                       {"callback", Kind::positional_or_keyword, true},
                                       kw_context};
constexpr args::Signature call_later_sig{"VelkorLoop.call_later", call_later_params, true};

constexpr Param call_at_params[] = {{"when", Kind::positional_or_keyword, true},
                                    {"callback", Kind::positional_or_keyword, true},
                                    kw_context};
constexpr args::Signature call_at_sig{"VelkorLoop.call_at", call_at_params, true};

constexpr Param add_watch_params[] = {{"fd", Kind::positional_or_keyword, true},
                                      {"cb", Kind::positional_or_keyword, true},
                                      {"args", Kind::positional_or_keyword, true}};
constexpr args::Signature add_reader_sig{"VelkorLoop.add_reader", add_watch_params, false};
constexpr args::Signature add_writer_sig{"VelkorLoop.add_writer", add_watch_params, false};

constexpr Param fd_params[] = {{"fd", Kind::positional_or_keyword, true}};
constexpr args::Signature remove_reader_sig{"VelkorLoop.remove_reader", fd_params, false};
constexpr args::Signature remove_writer_sig{"VelkorLoop.remove_writer", fd_params, false};

// ---- state

PyObject* get_debug(PyObject* self, PyObject*) {
  return enter([&] { return PyBool_FromLong(as_loop(self)->state().debug); });
}

PyObject* set_debug(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    args::Parsed parsed;
    if (!args::parse(set_debug_sig, argv, nargs, kwnames, parsed)) return nullptr;
    bool value = false;
    if (!args::to_strict_bool(parsed.values[0], "value", value)) return nullptr;
    as_loop(self)->state().debug = value;
    Py_RETURN_NONE;
  });
}

PyObject* is_running(PyObject*, PyObject*) {
  return enter([] { Py_RETURN_TRUE; });
}

PyObject* is_closed(PyObject*, PyObject*) {
  return enter([] { Py_RETURN_FALSE; });
}

PyObject* close(PyObject*, PyObject*) {
  return enter([] { Py_RETURN_NONE; });
}

// ---- running

PyObject* run_forever(PyObject* self, PyObject*) {
  return enter([&] { return loop::run_forever(self); });
}

PyObject* stop(PyObject* self, PyObject*) {
  return enter([&] { return loop::stop(self); });
}

PyObject* stop_cb(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    args::Parsed parsed;
    if (!args::parse(stop_cb_sig, argv, nargs, kwnames, parsed)) return nullptr;
    return loop::stop(self);
  });
}

PyObject* run_until_complete(PyObject* self, PyObject* const* argv, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    args::Parsed parsed;
    if (!args::parse(run_until_complete_sig, argv, nargs, kwnames, parsed)) return nullptr;
    return loop::run_until_complete(self, parsed.values[0]);
  });
}

PyObject* create_task(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    args::Parsed parsed;
    if (!args::parse(create_task_sig, argv, nargs, kwnames, parsed)) return nullptr;
    return loop::create_task(self, parsed.values[0], args::given(parsed.values[1]),
                             args::given(parsed.values[2]));
  });
}

// ---- scheduling

PyObject* time(PyObject* self, PyObject*) {
  return enter([&] { return loop::time(self); });
}

PyObject* call_soon_entry(const args::Signature& sig, PyObject* self, PyObject* const* argv,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    if (nargs >= 1) {
      if (kwnames == nullptr) {  // the common call: positional only
        return loop::call_soon(self, argv[0], argv + 1, nargs - 1, nullptr);
      }
      // asyncio's futures and tasks pass context= on every call.
      if (PyTuple_GET_SIZE(kwnames) == 1 && PyTuple_GET_ITEM(kwnames, 0) == context_name) {
        return loop::call_soon(self, argv[0], argv + 1, nargs - 1, args::given(argv[nargs]));
      }
    }
    args::Parsed parsed;
    if (!args::parse(sig, argv, nargs, kwnames, parsed)) return nullptr;
    return loop::call_soon(self, parsed.values[0], parsed.star, parsed.star_count,
                           args::given(parsed.values[1]));
  });
}

PyObject* call_soon(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_soon_entry(call_soon_sig, self, argv, nargs, kwnames);
}

PyObject* call_soon_threadsafe(PyObject* self, PyObject* const* argv, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return call_soon_entry(call_soon_threadsafe_sig, self, argv, nargs, kwnames);
}

template <auto Operation>
PyObject* timer_entry(const args::Signature& sig, const char* first, PyObject* self,
                      PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    args::Parsed parsed;
    if (!args::parse(sig, argv, nargs, kwnames, parsed)) return nullptr;
    double seconds = 0;
    if (!args::to_double(parsed.values[0], first, seconds)) return nullptr;
    return Operation(self, seconds, parsed.values[1], parsed.star, parsed.star_count,
                     args::given(parsed.values[2]));
  });
}

PyObject* call_later(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return timer_entry<loop::call_later>(call_later_sig, "delay", self, argv, nargs, kwnames);
}

PyObject* call_at(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return timer_entry<loop::call_at>(call_at_sig, "when", self, argv, nargs, kwnames);
}

// asyncio's TimerHandle.cancel() reports the cancellation to its loop
// through this hook: the timer leaves the queue and its handle is released
// at once, instead of at its deadline.
PyObject* timer_handle_cancelled(PyObject* self, PyObject* handle) {
  return enter([&] { return loop::timer_handle_cancelled(self, handle); });
}

// ---- I/O

PyObject* add_watch_entry(const args::Signature& sig, rt::Direction direction, PyObject* self,
                          PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    args::Parsed parsed;
    if (!args::parse(sig, argv, nargs, kwnames, parsed)) return nullptr;
    int fd = 0;
    if (!args::to_fd(parsed.values[0], "fd", fd)) return nullptr;
    if (!args::check_tuple(parsed.values[2], "args")) return nullptr;
    return loop::add_watch(self, direction, fd, parsed.values[1], parsed.values[2]);
  });
}

PyObject* remove_watch_entry(const args::Signature& sig, rt::Direction direction, PyObject* self,
                             PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return enter([&]() -> PyObject* {
    args::Parsed parsed;
    if (!args::parse(sig, argv, nargs, kwnames, parsed)) return nullptr;
    int fd = 0;
    if (!args::to_fd(parsed.values[0], "fd", fd)) return nullptr;
    return loop::remove_watch(self, direction, fd);
  });
}

PyObject* add_reader(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return add_watch_entry(add_reader_sig, rt::Direction::read, self, argv, nargs, kwnames);
}
PyObject* add_writer(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return add_watch_entry(add_writer_sig, rt::Direction::write, self, argv, nargs, kwnames);
}
PyObject* remove_reader(PyObject* self, PyObject* const* argv, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return remove_watch_entry(remove_reader_sig, rt::Direction::read, self, argv, nargs, kwnames);
}
PyObject* remove_writer(PyObject* self, PyObject* const* argv, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return remove_watch_entry(remove_writer_sig, rt::Direction::write, self, argv, nargs, kwnames);
}

// ---- the type

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"get_debug", as_method(get_debug), METH_NOARGS, "get_debug($self)\n--\n\n"},
    {"set_debug", as_method(set_debug), fastcall, "set_debug($self, value)\n--\n\n"},
    {"run_forever", as_method(run_forever), METH_NOARGS, "run_forever($self)\n--\n\n"},
    {"create_task", as_method(create_task), fastcall,
     "create_task($self, coro, *, name=None, context=None)\n--\n\n"},
    {"run_until_complete", as_method(run_until_complete), fastcall,
     "run_until_complete($self, future)\n--\n\n"},
    {"_stop_cb", as_method(stop_cb), fastcall, "_stop_cb($self, _fut)\n--\n\n"},
    {"stop", as_method(stop), METH_NOARGS, "stop($self)\n--\n\n"},
    {"is_running", as_method(is_running), METH_NOARGS, "is_running($self)\n--\n\n"},
    {"is_closed", as_method(is_closed), METH_NOARGS, "is_closed($self)\n--\n\n"},
    {"close", as_method(close), METH_NOARGS, "close($self)\n--\n\n"},
    {"time", as_method(time), METH_NOARGS, "time($self)\n--\n\n"},
    {"call_soon", as_method(call_soon), fastcall,
     "call_soon($self, callback, *args, context=None)\n--\n\n"},
    {"call_soon_threadsafe", as_method(call_soon_threadsafe), fastcall,
     "call_soon_threadsafe($self, callback, *args, context=None)\n--\n\n"},
    {"call_later", as_method(call_later), fastcall,
     "call_later($self, delay, callback, *args, context=None)\n--\n\n"},
    {"call_at", as_method(call_at), fastcall,
     "call_at($self, when, callback, *args, context=None)\n--\n\n"},
    {"_timer_handle_cancelled", as_method(timer_handle_cancelled), METH_O,
     "_timer_handle_cancelled($self, handle)\n--\n\n"},
    {"add_reader", as_method(add_reader), fastcall, "add_reader($self, fd, cb, args)\n--\n\n"},
    {"remove_reader", as_method(remove_reader), fastcall, "remove_reader($self, fd)\n--\n\n"},
    {"add_writer", as_method(add_writer), fastcall, "add_writer($self, fd, cb, args)\n--\n\n"},
    {"remove_writer", as_method(remove_writer), fastcall, "remove_writer($self, fd)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(loop_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(loop_clear)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("VelkorLoop()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec loop_type_spec = {
    "builtins.VelkorLoop",
    sizeof(LoopObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
    slots,
};

}  // namespace

PyTypeObject* loop_type() {
  static PyTypeObject* type = nullptr;  // one per process
  if (type == nullptr) {
    context_name = PyUnicode_InternFromString("context");
    if (context_name == nullptr) return nullptr;
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&loop_type_spec));
  }
  return type;
}

}  // namespace velkor
