#include "sock_ops.h"

#include <sys/socket.h>

#include <cstddef>
#include <memory>
#include <utility>

#include "core/call_method.h"
#include "core/pyref.h"
#include "handle.h"
#include "loop_core.h"

namespace velkorio {
namespace {

using velkor::PyRef;
using velkor::call_method;
using velkor::error_would_block;

enum class Op { recv, recv_into, recvfrom, recvfrom_into, sendall, sendto, accept, connect };

constexpr const char* op_names[] = {"sock_recv",   "sock_recv_into", "sock_recvfrom",
                                    "sock_recvfrom_into", "sock_sendall", "sock_sendto",
                                    "sock_accept", "sock_connect"};

bool waits_to_write(Op op) { return op == Op::sendall || op == Op::sendto || op == Op::connect; }

// One operation: its socket and arguments, and once it waits, the loop,
// the future the caller awaits and the watch's handle.
struct WaitFields {
  const ModuleState* state = nullptr;
  Op op = Op::recv;
  PyRef sock;
  PyRef fd;      // sock.fileno() when the operation started
  PyRef first;   // the operation's arguments: sock_sendall's is a memoryview once it waits
  PyRef second;
  Py_ssize_t sent = 0;  // sock_sendall: how much of `first` has gone
  PyRef loop;
  PyRef future;  // null once the future is done and the watch removed
  PyRef handle;
};

struct SocketWaitObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  WaitFields f;  // constructed in place by wait_for, destroyed by dealloc
};

SocketWaitObject* as_wait(PyObject* object) { return reinterpret_cast<SocketWaitObject*>(object); }

enum class Outcome { done, later, failed };

// What a call's value makes of an attempt: asyncio tries again later after
// BlockingIOError and InterruptedError, and fails with anything else.
Outcome settle(PyRef value, PyRef& result) {
  if (value) {
    result = std::move(value);
    return Outcome::done;
  }
  if (error_would_block()) {
    PyErr_Clear();
    return Outcome::later;
  }
  return Outcome::failed;
}

// sock_sendall: sock.send() of what is left; done once all of it went.
Outcome send_rest(WaitFields& w, bool again, PyRef& result) {
  const auto& names = w.state->names;
  PyRef rest = again ? PyRef::steal(PySequence_GetSlice(w.first.get(), w.sent, PY_SSIZE_T_MAX))
                     : w.first.share();
  if (!rest) return Outcome::failed;
  PyRef count;
  const Outcome sent = settle(call_method(w.sock.get(), names.send, rest.get()), count);
  if (sent == Outcome::failed || (again && sent == Outcome::later)) return sent;
  if (count) {
    const Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return Outcome::failed;
    w.sent += n;
  }
  const Py_ssize_t length = PyObject_Size(w.first.get());
  if (length < 0) return Outcome::failed;
  if (w.sent == length) {
    result = PyRef::borrow(Py_None);
    return Outcome::done;
  }
  if (!again) {
    // What waits is a view, as in asyncio, whose slices cost no copy.
    w.first = PyRef::steal(PyMemoryView_FromObject(w.first.get()));
    if (!w.first) return Outcome::failed;
  }
  return Outcome::later;
}

// sock_connect once the socket is writable: asyncio's _sock_connect_cb.
Outcome connected(const WaitFields& w, PyRef& result) {
  PyRef level = PyRef::steal(PyLong_FromLong(SOL_SOCKET));
  PyRef option = PyRef::steal(PyLong_FromLong(SO_ERROR));
  if (!level || !option) return Outcome::failed;
  PyRef error;
  const Outcome asked = settle(
      call_method(w.sock.get(), w.state->names.getsockopt, level.get(), option.get()), error);
  if (asked != Outcome::done) return asked;
  const int code = PyLong_AsInt(error.get());
  if (code == -1 && PyErr_Occurred()) return Outcome::failed;
  if (code != 0) {
    PyRef exception = PyRef::steal(PyObject_CallFunction(
        PyExc_OSError, "iN", code, PyUnicode_FromFormat("Connect call failed %S", w.first.get())));
    if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return Outcome::failed;
  }
  result = PyRef::borrow(Py_None);
  return Outcome::done;
}

// One attempt at the operation, the first (`again` false) or one after the
// socket became ready, each as asyncio's code makes it.
Outcome attempt(WaitFields& w, bool again, PyRef& result) {
  const auto& names = w.state->names;
  PyObject* sock = w.sock.get();
  switch (w.op) {
    case Op::recv:
      // socket.recv's own allocation of n bytes, shrunk to what arrived,
      // kept glibc's heap steadier under 64-100 KiB receives than a copy out
      // of a buffer of ours did (fewer page faults per request).
      return settle(call_method(sock, names.recv, w.first.get()), result);
    case Op::recv_into:
      return settle(call_method(sock, names.recv_into, w.first.get()), result);
    case Op::recvfrom:
      return settle(call_method(sock, names.recvfrom, w.first.get()), result);
    case Op::recvfrom_into:
      return settle(call_method(sock, names.recvfrom_into, w.first.get(), w.second.get()), result);
    case Op::sendall:
      return send_rest(w, again, result);
    case Op::sendto: {
      if (!again) return settle(call_method(sock, names.sendto, w.first.get(), w.second.get()), result);
      PyRef no_flags = PyRef::steal(PyLong_FromLong(0));
      return settle(call_method(sock, names.sendto, w.first.get(), no_flags.get(), w.second.get()),
                    result);
    }
    case Op::accept: {
      PyRef pair;
      const Outcome accepted = settle(call_method(sock, names.accept), pair);
      if (accepted != Outcome::done) return accepted;
      if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "accept() must return a (socket, address) pair");
        return Outcome::failed;
      }
      PyRef unused;
      const Outcome made = settle(
          call_method(PyTuple_GET_ITEM(pair.get(), 0), names.setblocking, Py_False), unused);
      if (made != Outcome::done) return made;
      result = std::move(pair);
      return Outcome::done;
    }
    case Op::connect:
      if (again) return connected(w, result);
      return settle(call_method(sock, names.connect, w.first.get()), result);
  }
  return Outcome::failed;
}

// asyncio's `except (SystemExit, KeyboardInterrupt): raise` around an
// attempt: whether the error now set is one of those two.
bool must_propagate() {
  return PyErr_ExceptionMatches(PyExc_SystemExit) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
}

// The watch's callback: another attempt, which settles the future unless
// the socket is still not ready.
PyObject* ready(PyObject* self) {
  WaitFields& w = as_wait(self)->f;
  if (!w.future) Py_RETURN_NONE;
  const auto& names = w.state->names;
  PyRef keep = PyRef::borrow(self);
  PyRef future = w.future.share();
  PyRef done = call_method(future.get(), names.done);
  const int finished = done ? PyObject_IsTrue(done.get()) : -1;
  if (finished != 0) return finished < 0 ? nullptr : Py_NewRef(Py_None);
  PyRef result;
  switch (attempt(w, true, result)) {
    case Outcome::later:
      Py_RETURN_NONE;
    case Outcome::done:
      return call_method(future.get(), names.set_result, result.get()).release();
    case Outcome::failed:
      break;
  }
  if (must_propagate()) return nullptr;
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  return call_method(future.get(), names.set_exception, exception.get()).release();
}

// The future's done callback: removes the watch unless it was replaced or
// removed already, as asyncio's _sock_read_done and _sock_write_done do,
// and lets go of everything, which breaks the cycles through the future
// and the handle.
PyObject* finished(PyObject* self) {
  WaitFields& w = as_wait(self)->f;
  PyRef keep = PyRef::borrow(self);
  PyRef handle = std::move(w.handle);
  PyRef loop = std::move(w.loop);
  PyRef fd = std::move(w.fd);
  w.future.reset();
  w.sock.reset();
  w.first.reset();
  w.second.reset();
  if (!handle || !loop) Py_RETURN_NONE;
  const auto& names = w.state->names;
  int cancelled;
  if (is_handle(*w.state, handle.get())) {
    cancelled = reinterpret_cast<HandleObject*>(handle.get())->f.cancelled();
  } else {
    PyRef flag = call_method(handle.get(), names.cancelled);
    cancelled = flag ? PyObject_IsTrue(flag.get()) : -1;
    if (cancelled < 0) return nullptr;
  }
  if (cancelled) Py_RETURN_NONE;
  return call_method(loop.get(), waits_to_write(w.op) ? names.remove_writer : names.remove_reader,
                     fd.get())
      .release();
}

// Called with no arguments by the watch, with the future by its callbacks.
PyObject* wait_vectorcall(PyObject* self, PyObject* const*, std::size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
    if (nargs == 0) return ready(self);
    if (nargs == 1) return finished(self);
  }
  PyErr_SetString(PyExc_TypeError, "a socket wait takes no arguments, or its future");
  return nullptr;
}

PyObject* wait_repr(PyObject* self) {
  const WaitFields& w = as_wait(self)->f;
  const char* name = op_names[static_cast<int>(w.op)];
  if (!w.future) return PyUnicode_FromFormat("<socket wait for %s, done>", name);
  return PyUnicode_FromFormat("<socket wait for %s on fd %R>", name, w.fd.get());
}

int wait_traverse(PyObject* self, visitproc visit, void* arg) {
  const WaitFields& w = as_wait(self)->f;
  Py_VISIT(Py_TYPE(self));
  for (const PyRef* ref : {&w.sock, &w.fd, &w.first, &w.second, &w.loop, &w.future, &w.handle}) {
    Py_VISIT(ref->get());
  }
  return 0;
}

int wait_clear(PyObject* self) {
  WaitFields& w = as_wait(self)->f;
  for (PyRef* ref : {&w.sock, &w.fd, &w.first, &w.second, &w.loop, &w.future, &w.handle}) {
    ref->reset();
  }
  return 0;
}

void wait_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  std::destroy_at(&as_wait(self)->f);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef wait_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SocketWaitObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot wait_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A sock_* operation waiting for its socket: the watch's callback and its\n"
                    "future's done callback.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(wait_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wait_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wait_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(wait_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, wait_members},
    {0, nullptr},
};

PyType_Spec wait_spec = {
    "velkorio._core.SocketWait",
    sizeof(SocketWaitObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wait_slots,
};

// The operation waits: asyncio's future, check for a transport, watch and
// done callback. Returns the future.
PyRef wait_for(WaitFields&& fields, PyObject* loop) {
  const ModuleState& state = *fields.state;
  const auto& names = state.names;
  PyRef future = call_method(loop, names.create_future);
  if (!future) return {};
  if (!call_method(loop, names.ensure_fd_no_transport, fields.fd.get())) return {};
  PyRef wait = PyRef::steal(PyType_GenericAlloc(state.socket_wait_type, 0));
  if (!wait) return {};
  SocketWaitObject* object = as_wait(wait.get());
  object->vectorcall = wait_vectorcall;
  WaitFields& w = *new (&object->f) WaitFields(std::move(fields));
  w.loop = PyRef::borrow(loop);
  w.future = future.share();
  PyRef fd = w.fd.share();
  w.handle = call_method(loop, waits_to_write(w.op) ? names.add_writer : names.add_reader, fd.get(),
                         wait.get());
  if (!w.handle) return {};
  if (!call_method(future.get(), names.add_done_callback, wait.get())) return {};
  return future;
}

PyObject* start(PyObject* loop, Op op, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t wanted) {
  if (nargs != wanted) {
    PyErr_Format(PyExc_TypeError, "_start_%s() takes %zd arguments", op_names[static_cast<int>(op)],
                 wanted);
    return nullptr;
  }
  ModuleState& state = loop_core_module(loop);
  PyObject* sock = args[0];
  if (Py_TYPE(sock) != state.socket_type || loop_core_debug(loop)) Py_RETURN_NOTIMPLEMENTED;
  WaitFields w;
  w.state = &state;
  w.op = op;
  w.sock = PyRef::borrow(sock);
  w.fd = call_method(sock, state.names.fileno);
  if (!w.fd) return nullptr;
  if (nargs > 1) w.first = PyRef::borrow(args[1]);
  if (nargs > 2) w.second = PyRef::borrow(args[2]);
  if (op == Op::recvfrom_into) {
    // asyncio: `if not nbytes: nbytes = len(buf)`.
    const int given = PyObject_IsTrue(w.second.get());
    if (given < 0) return nullptr;
    if (!given) {
      const Py_ssize_t length = PyObject_Size(w.first.get());
      if (length < 0) return nullptr;
      w.second = PyRef::steal(PyLong_FromSsize_t(length));
      if (!w.second) return nullptr;
    }
  }
  PyRef result;
  switch (attempt(w, false, result)) {
    case Outcome::done:
      return PyTuple_Pack(2, Py_None, result.get());
    case Outcome::failed:
      return nullptr;
    case Outcome::later:
      break;
  }
  PyRef future = wait_for(std::move(w), loop);
  return future ? PyTuple_Pack(2, future.get(), Py_None) : nullptr;
}

}  // namespace

bool init_socket_wait_type(PyObject* module, ModuleState& state) {
  state.socket_wait_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &wait_spec, nullptr));
  return state.socket_wait_type != nullptr;
}

PyObject* loop_start_sock_recv(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::recv, args, nargs, 2);
}
PyObject* loop_start_sock_recv_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::recv_into, args, nargs, 2);
}
PyObject* loop_start_sock_recvfrom(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::recvfrom, args, nargs, 2);
}
PyObject* loop_start_sock_recvfrom_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::recvfrom_into, args, nargs, 3);
}
PyObject* loop_start_sock_sendall(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::sendall, args, nargs, 2);
}
PyObject* loop_start_sock_sendto(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::sendto, args, nargs, 3);
}
PyObject* loop_start_sock_accept(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::accept, args, nargs, 1);
}
PyObject* loop_start_sock_connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return start(self, Op::connect, args, nargs, 2);
}

}  // namespace velkorio
