#include "socket_transport.h"

#include <errno.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "core/as_method.h"
#include "core/call_method.h"
#include "core/pyref.h"
#include "loop_core.h"
#include "receive_buffer.h"
#include "transport_common.h"
#include "write_batch.h"

namespace velkorio {
namespace {

using velkor::call_method;
using velkor::PyRef;

constexpr const char* read_error = "Fatal read error on socket transport";
constexpr const char* write_error = "Fatal write error on socket transport";

// The most pieces one sendmsg takes (the kernel's UIO_MAXIOV).
constexpr std::size_t max_pieces = IOV_MAX;

constexpr const char* protocol_error = "Fatal error: protocol.data_received() call failed.";

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
  const int fd = fd_of(state, self);
  if (fd == -1 && PyErr_Occurred()) return fail(state, self, read_error);
  PyRef size_object = attribute(self, names.max_size);
  if (!size_object) return fail(state, self, read_error);
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

// asyncio's _read_ready__get_buffer: the socket's bytes into the buffer a
// buffered protocol (the TLS protocol among them) gives.
PyObject* receive_into(const ModuleState& state, PyObject* self) {
  const auto& names = state.names;
  const int lost = attribute_truth(self, names.conn_lost);
  if (lost != 0) return lost < 0 ? nullptr : Py_NewRef(Py_None);
  PyRef protocol = attribute(self, names.protocol);
  if (!protocol) return nullptr;
  PyRef any_size = PyRef::steal(PyLong_FromLong(-1));
  PyRef buffer = any_size ? call_method(protocol.get(), state.tls.get_buffer_name, any_size.get())
                          : PyRef();
  const Py_ssize_t length = buffer ? PyObject_Length(buffer.get()) : -1;
  if (length == 0) PyErr_SetString(PyExc_RuntimeError, "get_buffer() returned an empty buffer");
  if (length <= 0) return fail(state, self, "Fatal error: protocol.get_buffer() call failed.");

  const int fd = fd_of(state, self);
  if (fd == -1 && PyErr_Occurred()) return fail(state, self, read_error);
  Py_buffer view;
  if (PyObject_GetBuffer(buffer.get(), &view, PyBUF_WRITABLE) < 0) {
    return fail(state, self, read_error);
  }
  // The exported view keeps a bytearray from being resized by a signal
  // handler run between retries.
  const ssize_t received =
      receive_some(fd, static_cast<char*>(view.buf), static_cast<std::size_t>(view.len));
  const int error = errno;
  PyBuffer_Release(&view);
  if (received < 0) {
    if (PyErr_Occurred()) return fail(state, self, read_error);
    if (error == EAGAIN || error == EWOULDBLOCK) Py_RETURN_NONE;
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    return fail(state, self, read_error);
  }
  if (received == 0) return PyObject_CallMethodNoArgs(self, names.on_eof);
  PyRef count = PyRef::steal(PyLong_FromSsize_t(received));
  if (!count) return nullptr;
  if (!call_method(protocol.get(), state.tls.buffer_updated, count.get())) {
    return fail(state, self, "Fatal error: protocol.buffer_updated() call failed.");
  }
  Py_RETURN_NONE;
}

// The reader callback: self._read_ready_cb(), with asyncio's two (for
// buffered protocols and for the others) run here.
PyObject* read_ready(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                     Py_ssize_t nargs, PyObject* kwnames) {
  if (!takes_no_arguments("_read_ready", nargs, kwnames)) return nullptr;
  const ModuleState& state = module_of(defining_class);
  PyRef callback = attribute(self, state.names.read_ready_cb);
  if (!callback) return nullptr;
  if (PyMethod_Check(callback.get()) && PyMethod_GET_SELF(callback.get()) == self &&
      PyMethod_GET_FUNCTION(callback.get()) == state.transport_data_received) {
    return receive(state, self);
  }
  if (PyMethod_Check(callback.get()) && PyMethod_GET_SELF(callback.get()) == self &&
      PyMethod_GET_FUNCTION(callback.get()) == state.transport_get_buffer) {
    return receive_into(state, self);
  }
  return PyObject_CallNoArgs(callback.get());
}

PyObject* asyncio_write(const ModuleState& state, PyObject* self, PyObject* data) {
  PyObject* args[] = {self, data};
  return PyObject_Vectorcall(state.transport_write, args, 2, nullptr);
}

// The batch of the transport's loop, when the loop is ours.
WriteBatch* batch_of(const ModuleState& state, PyObject* self) {
  PyRef loop = attribute(self, state.names.loop);
  if (!loop) {
    PyErr_Clear();  // asyncio's own write reports a transport without a loop
    return nullptr;
  }
  return is_loop_core(state, loop.get()) ? loop_core_write_batch(loop.get()) : nullptr;
}

// Sends `pieces` (bytes or bytearrays) on the transport's socket with one
// sendmsg, as asyncio's write() would have sent them one after the other
// onto an empty buffer: what the socket does not take waits in the buffer
// for the writer callback (the piece itself when none of it went, else a
// view of its rest), and the protocol may be paused.
PyObject* send_pieces(const ModuleState& state, PyObject* self, std::span<const PyRef> pieces) {
  const auto& names = state.names;
  PyRef fd_object = attribute(self, names.sock_fd);  // the writer is added by it
  if (!fd_object) return nullptr;
  const int fd = PyLong_AsInt(fd_object.get());
  if (fd == -1 && PyErr_Occurred()) return nullptr;

  std::array<iovec, max_pieces> iov;
  const std::size_t count = std::min(pieces.size(), max_pieces);
  std::size_t total = 0;
  msghdr message{};
  message.msg_iov = iov.data();
  message.msg_iovlen = count;
  ssize_t sent;
  for (;;) {
    // Taken (again after a signal, whose handler may have resized a
    // bytearray) where no Python code runs before sendmsg.
    total = 0;
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* piece = pieces[i].get();
      const bool is_bytes = PyBytes_CheckExact(piece);
      iov[i].iov_base = is_bytes ? PyBytes_AS_STRING(piece) : PyByteArray_AS_STRING(piece);
      iov[i].iov_len = static_cast<std::size_t>(is_bytes ? PyBytes_GET_SIZE(piece)
                                                         : PyByteArray_GET_SIZE(piece));
      total += iov[i].iov_len;
    }
    sent = count == 1 ? send(fd, iov[0].iov_base, iov[0].iov_len, 0) : sendmsg(fd, &message, 0);
    if (sent >= 0) break;
    if (errno == EINTR) {
      if (PyErr_CheckSignals() < 0) return fail(state, self, write_error);
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      sent = 0;
      break;
    }
    PyErr_SetFromErrno(PyExc_OSError);
    return fail(state, self, write_error);
  }
  if (static_cast<std::size_t>(sent) == total && count == pieces.size()) Py_RETURN_NONE;

  // What did not go waits for the writer callback, as in asyncio.
  PyRef loop = attribute(self, names.loop);
  PyRef writer = loop ? attribute(self, names.write_ready) : PyRef();
  PyRef buffer = writer ? attribute(self, names.buffer) : PyRef();
  if (!buffer) return nullptr;
  PyObject* add_args[] = {loop.get(), fd_object.get(), writer.get()};
  PyRef added = PyRef::steal(PyObject_VectorcallMethod(
      names.add_writer, add_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!added) return nullptr;
  std::size_t left = static_cast<std::size_t>(sent);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::size_t length = i < count ? iov[i].iov_len : 0;
    if (i < count && left >= length) {
      left -= length;
      continue;
    }
    PyRef rest = pieces[i].share();
    if (left > 0) {
      PyRef view = PyRef::steal(PyMemoryView_FromObject(rest.get()));
      rest = view ? PyRef::steal(PySequence_GetSlice(view.get(), static_cast<Py_ssize_t>(left),
                                                     static_cast<Py_ssize_t>(length)))
                  : PyRef();
      if (!rest) return nullptr;
      left = 0;
    }
    PyRef appended = PyRef::steal(PyObject_CallMethodOneArg(buffer.get(), names.append, rest.get()));
    if (!appended) return nullptr;
  }
  return PyObject_CallMethodNoArgs(self, names.maybe_pause_protocol);
}

// Sends what the transport holds in its loop's batch, if anything. A
// transport that has lost its connection since takes the writes as asyncio's
// write() takes them then.
PyObject* send_held(const ModuleState& state, PyObject* self, std::vector<PyRef> pieces) {
  if (pieces.empty()) Py_RETURN_NONE;
  const int lost = attribute_truth(self, state.names.conn_lost);
  if (lost < 0) return nullptr;
  if (lost == 0) return send_pieces(state, self, pieces);
  for (const PyRef& piece : pieces) {
    if (!PyRef::steal(asyncio_write(state, self, piece.get()))) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* send_held(const ModuleState& state, PyObject* self) {
  WriteBatch* batch = batch_of(state, self);
  return batch ? send_held(state, self, batch->take(self)) : Py_NewRef(Py_None);
}

// asyncio's write(), after what the transport holds.
PyObject* write_later(const ModuleState& state, PyObject* self, PyObject* data) {
  if (!PyRef::steal(send_held(state, self))) return nullptr;
  return asyncio_write(state, self, data);
}

// write(data): bytes or a bytearray onto a transport with nothing buffered
// is held in the loop's batch while the loop runs a pass, and sent here
// otherwise; the rest as asyncio writes it.
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
  // A closing transport's writer closes the socket once its buffer is
  // empty, which could be before the end of the pass: its writes (the TLS
  // protocol's close_notify, say) are not held.
  const int closing = attribute_truth(self, names.closing);
  if (closing != 0) return closing < 0 ? nullptr : write_later(state, self, data);
  PyRef buffer = attribute(self, names.buffer);
  if (!buffer) return nullptr;
  const int queued = PyObject_IsTrue(buffer.get());
  if (queued != 0) return queued < 0 ? nullptr : write_later(state, self, data);

  WriteBatch* batch = batch_of(state, self);
  if (batch == nullptr || !batch->open()) {
    const PyRef piece = PyRef::borrow(data);
    return send_pieces(state, self, std::span(&piece, 1));
  }
  // Held as bytes: a bytearray may change before the pass ends.
  PyRef piece = is_bytes ? PyRef::borrow(data)
                         : PyRef::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(data),
                                                                  PyByteArray_GET_SIZE(data)));
  if (!piece) return nullptr;
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(piece.get()));
  if (batch->add(self, std::move(piece), size) < WriteBatch::limit) Py_RETURN_NONE;
  return send_held(state, self, batch->take(self));
}

// _send_held(): sends what the transport holds, before whatever asyncio's
// method that calls it does next.
PyObject* send_held_method(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                           Py_ssize_t nargs, PyObject* kwnames) {
  if (!takes_no_arguments("_send_held", nargs, kwnames)) return nullptr;
  return send_held(module_of(defining_class), self);
}

PyDoc_STRVAR(read_ready_doc,
             "_read_ready($self)\n--\n\n"
             "The socket's reader: receive what is there and hand it to the protocol.");
PyDoc_STRVAR(send_held_doc,
             "_send_held($self)\n--\n\n"
             "Send what write() held for the end of the loop's pass, now.");
PyDoc_STRVAR(write_doc,
             "write($self, data, /)\n--\n\n"
             "Send data (bytes-like) without blocking. What the socket does not take at\n"
             "once is buffered and sent as it becomes writable.");

PyMethodDef methods[] = {
    {"_read_ready", velkor::as_method(read_ready), method_flags, read_ready_doc},
    {"write", velkor::as_method(write), method_flags, write_doc},
    {"_send_held", velkor::as_method(send_held_method), method_flags, send_held_doc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* core_type_doc =
    "The native reader and write() of velkorio's socket transport, which\n"
    "takes the rest from asyncio's.";

}  // namespace

int flush_writes(const ModuleState& state, WriteBatch& batch) {
  PyRef failure;  // the first error; the other transports still send theirs
  for (WriteBatch::Entry& entry : batch.take_all()) {
    if (!entry.transport) continue;
    if (!PyRef::steal(send_held(state, entry.transport.get(), std::move(entry.pieces))) && !failure) {
      failure = PyRef::steal(PyErr_GetRaisedException());
    }
    PyErr_Clear();
  }
  if (!failure) return 0;
  PyErr_SetRaisedException(failure.release());
  return -1;
}

bool init_socket_transport_type(PyObject* module, ModuleState& state) {
  state.transport_core_type = make_transport_core_type(module, "velkorio.SocketTransportCore",
                                                       core_type_doc, methods);
  return state.transport_core_type != nullptr;
}

}  // namespace velkorio
