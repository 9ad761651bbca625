#include "socket_transport.h"

#include <errno.h>
#include <sys/socket.h>

#include "core/as_method.h"
#include "core/pyref.h"
#include "receive_buffer.h"

namespace velkorio {
namespace {

using velkor::PyRef;

// The state of the module whose SocketTransportCore defines the method.
const ModuleState& module_of(PyTypeObject* defining_class) {
  return *static_cast<const ModuleState*>(PyType_GetModuleState(defining_class));
}

constexpr const char* read_error = "Fatal read error on socket transport";
constexpr const char* write_error = "Fatal write error on socket transport";
constexpr const char* protocol_error = "Fatal error: protocol.data_received() call failed.";

PyRef attribute(PyObject* self, PyObject* name) {
  return PyRef::steal(PyObject_GetAttr(self, name));
}

// The truth of self.<name>: -1 on error.
int attribute_truth(PyObject* self, PyObject* name) {
  PyRef value = attribute(self, name);
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// What asyncio's `except (SystemExit, KeyboardInterrupt): raise` and
// `except BaseException as exc: self._fatal_error(exc, message)` make of
// the error now set.
PyObject* fail(const ModuleState& state, PyObject* self, const char* message) {
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (PyErr_GivenExceptionMatches(exception.get(), PyExc_SystemExit) ||
      PyErr_GivenExceptionMatches(exception.get(), PyExc_KeyboardInterrupt)) {
    PyErr_SetRaisedException(exception.release());
    return nullptr;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(message));
  if (!text) return nullptr;
  PyObject* args[] = {self, exception.get(), text.get()};
  return PyObject_VectorcallMethod(state.names.fatal_error, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

// asyncio's _read_ready__data_received: the socket's bytes, up to
// max_size, to protocol.data_received().
PyObject* receive(const ModuleState& state, PyObject* self) {
  const auto& names = state.names;
  const int lost = attribute_truth(self, names.conn_lost);
  if (lost != 0) return lost < 0 ? nullptr : Py_NewRef(Py_None);
  // From here to the receive, every failure is asyncio's fatal read error,
  // as in its code, where all of it sits in one try: left to the loop's
  // exception handler, it would leave the reader registered, and called
  // again and again for data nobody takes.
  PyRef fd_object = attribute(self, names.sock_fd);
  PyRef size_object = fd_object ? attribute(self, names.max_size) : PyRef();
  if (!size_object) return fail(state, self, read_error);
  const int fd = PyLong_AsInt(fd_object.get());
  if (fd == -1 && PyErr_Occurred()) return fail(state, self, read_error);
  // Whatever socket.recv takes: an int or any object with __index__.
  const Py_ssize_t size = PyNumber_AsSsize_t(size_object.get(), PyExc_OverflowError);
  if (size == -1 && PyErr_Occurred()) return fail(state, self, read_error);
  // A size socket.recv would refuse gets asyncio's own path and error.
  if (size <= 0) return PyObject_CallOneArg(state.transport_data_received, self);

  PyRef bytes = receive_bytes(fd, static_cast<std::size_t>(size));
  if (!bytes) {
    if (PyErr_Occurred()) return fail(state, self, read_error);
    if (errno == EAGAIN || errno == EWOULDBLOCK) Py_RETURN_NONE;
    PyErr_SetFromErrno(PyExc_OSError);
    return fail(state, self, read_error);
  }
  if (PyBytes_GET_SIZE(bytes.get()) == 0) return PyObject_CallMethodNoArgs(self, names.on_eof);
  PyRef protocol = attribute(self, names.protocol);
  if (!protocol) return nullptr;
  PyObject* args[] = {protocol.get(), bytes.get()};
  PyRef result = PyRef::steal(PyObject_VectorcallMethod(
      names.data_received, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) return fail(state, self, protocol_error);
  Py_RETURN_NONE;
}

// The reader callback: self._read_ready_cb(), with asyncio's
// data-receiving one (what every protocol but a buffered one gets) run here.
PyObject* read_ready(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                     Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
    PyErr_SetString(PyExc_TypeError, "_read_ready() takes no arguments");
    return nullptr;
  }
  const ModuleState& state = module_of(defining_class);
  PyRef callback = attribute(self, state.names.read_ready_cb);
  if (!callback) return nullptr;
  if (PyMethod_Check(callback.get()) && PyMethod_GET_SELF(callback.get()) == self &&
      PyMethod_GET_FUNCTION(callback.get()) == state.transport_data_received) {
    return receive(state, self);
  }
  return PyObject_CallNoArgs(callback.get());
}

PyObject* write_later(const ModuleState& state, PyObject* self, PyObject* data) {
  PyObject* args[] = {self, data};
  return PyObject_Vectorcall(state.transport_write, args, 2, nullptr);
}

// write(data): bytes or a bytearray that the socket takes whole, at once,
// on a transport with nothing queued, is sent here; the rest as asyncio
// writes it.
PyObject* write(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
    PyErr_SetString(PyExc_TypeError, "write() takes exactly one argument (data)");
    return nullptr;
  }
  const ModuleState& state = module_of(defining_class);
  const auto& names = state.names;
  PyObject* data = args[0];
  const bool is_bytes = PyBytes_CheckExact(data);
  if (!is_bytes && !PyByteArray_CheckExact(data)) return write_later(state, self, data);
  if (PyObject_Length(data) == 0) return write_later(state, self, data);
  const int eof = attribute_truth(self, names.eof);
  if (eof != 0) return eof < 0 ? nullptr : write_later(state, self, data);
  PyRef waiter = attribute(self, names.empty_waiter);
  if (!waiter) return nullptr;
  if (waiter.get() != Py_None) return write_later(state, self, data);
  const int lost = attribute_truth(self, names.conn_lost);
  if (lost != 0) return lost < 0 ? nullptr : write_later(state, self, data);
  PyRef buffer = attribute(self, names.buffer);
  if (!buffer) return nullptr;
  const int queued = PyObject_IsTrue(buffer.get());
  if (queued != 0) return queued < 0 ? nullptr : write_later(state, self, data);
  PyRef fd_object = attribute(self, names.sock_fd);
  if (!fd_object) return nullptr;
  const int fd = PyLong_AsInt(fd_object.get());
  if (fd == -1 && PyErr_Occurred()) return nullptr;

  // Taken only now: the attribute lookups above may run Python code, which
  // may resize a bytearray. Nothing below runs any before send() returns.
  const char* start = is_bytes ? PyBytes_AS_STRING(data) : PyByteArray_AS_STRING(data);
  const Py_ssize_t length = is_bytes ? PyBytes_GET_SIZE(data) : PyByteArray_GET_SIZE(data);
  if (length == 0) return write_later(state, self, data);
  ssize_t sent;
  for (;;) {
    sent = send(fd, start, static_cast<std::size_t>(length), 0);
    if (sent >= 0) break;
    if (errno == EINTR) {
      if (PyErr_CheckSignals() < 0) return fail(state, self, write_error);
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    PyErr_SetFromErrno(PyExc_OSError);
    return fail(state, self, write_error);
  }
  if (sent == length) Py_RETURN_NONE;

  // Not all of it went: what is left waits for the writer callback, as in
  // asyncio (the data itself when nothing went, else a view of the rest).
  PyRef rest = PyRef::borrow(data);
  if (sent > 0) {
    PyRef view = PyRef::steal(PyMemoryView_FromObject(data));
    rest = view ? PyRef::steal(PySequence_GetSlice(view.get(), sent, length)) : PyRef();
    if (!rest) return nullptr;
  }
  PyRef loop = attribute(self, names.loop);
  PyRef writer = loop ? attribute(self, names.write_ready) : PyRef();
  if (!writer) return nullptr;
  PyObject* add_args[] = {loop.get(), fd_object.get(), writer.get()};
  PyRef added = PyRef::steal(PyObject_VectorcallMethod(
      names.add_writer, add_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!added) return nullptr;
  PyRef appended = PyRef::steal(PyObject_CallMethodOneArg(buffer.get(), names.append, rest.get()));
  if (!appended) return nullptr;
  return PyObject_CallMethodNoArgs(self, names.maybe_pause_protocol);
}

PyDoc_STRVAR(read_ready_doc,
             "_read_ready($self)\n--\n\n"
             "The socket's reader: receive what is there and hand it to the protocol.");
PyDoc_STRVAR(write_doc,
             "write($self, data, /)\n--\n\n"
             "Send data (bytes-like) without blocking. What the socket does not take at\n"
             "once is buffered and sent as it becomes writable.");

// With the class that defines them (METH_METHOD), which finds the
// module's state at once, where the transport's own type would take a walk
// up a long hierarchy.
constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"_read_ready", velkor::as_method(read_ready), method_flags, read_ready_doc},
    {"write", velkor::as_method(write), method_flags, write_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The native reader and write() of velkorio's socket transport, which\n"
                    "takes the rest from asyncio's.")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec core_type_spec = {
    "velkorio.SocketTransportCore",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

}  // namespace

bool init_socket_transport_type(PyObject* module, ModuleState& state) {
  state.transport_core_type =
      reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &core_type_spec, nullptr));
  return state.transport_core_type != nullptr &&
         PyModule_AddType(module, state.transport_core_type) == 0;
}

}  // namespace velkorio
