#include "datagram_transport.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

#include "core/as_method.h"
#include "core/call_method.h"
#include "core/pyref.h"
#include "ip_address.h"
#include "loop_core.h"
#include "receive_buffer.h"
#include "transport_common.h"

namespace velkorio {
namespace {

using velkor::PyRef;
using velkor::call_method;
using velkor::error_would_block;

constexpr const char* read_error = "Fatal read error on datagram transport";
constexpr const char* write_error = "Fatal write error on datagram transport";

// asyncio's handling of an error from the socket: OSError goes to the
// protocol's error_received(), SystemExit and KeyboardInterrupt out, and
// anything else to _fatal_error with `message`.
PyObject* socket_error(const ModuleState& state, PyObject* self, const char* message) {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return fail(state, self, message);
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  PyRef protocol = attribute(self, state.names.protocol);
  if (!protocol) return nullptr;
  return call_method(protocol.get(), state.names.error_received, exception.get()).release();
}

// What one receive came to: a datagram handed to the protocol, nothing
// more to do now (nothing there, or an error handled as asyncio handles
// it), or an error to raise.
enum class Received { datagram, done, failed };

Received settled(PyObject* result) {
  if (result == nullptr) return Received::failed;
  Py_DECREF(result);
  return Received::done;
}

// The address family of `sock` when it is the socket module's socket, read
// from the socket object itself; 0 for any other object, -1 on error.
int family_of(const ModuleState& state, PyObject* sock) {
  if (!PyObject_TypeCheck(sock, state.socket_type)) return 0;
  PyObject* member = state.socket_family;
  PyRef family = PyRef::steal(Py_TYPE(member)->tp_descr_get(member, sock, nullptr));
  return family ? PyLong_AsInt(family.get()) : -1;
}

// One datagram through sock.recvfrom_into, for a socket whose addresses
// the socket module alone knows how to make.
Received receive_through_socket(const ModuleState& state, PyObject* self, PyObject* sock,
                                char* buffer, long size, PyRef& data, PyRef& address) {
  const auto& names = state.names;
  // A view made for this one receive: recvfrom_into lets go of it, and no
  // other thread's receive can land in this thread's buffer.
  PyRef view = PyRef::steal(PyMemoryView_FromMemory(buffer, size, PyBUF_WRITE));
  PyRef limit = view ? PyRef::steal(PyLong_FromLong(size)) : PyRef();
  if (!limit) return settled(fail(state, self, read_error));
  PyRef result = call_method(sock, names.recvfrom_into, view.get(), limit.get());
  if (!result) {
    if (error_would_block()) {
      PyErr_Clear();
      return Received::done;
    }
    return settled(socket_error(state, self, read_error));
  }
  if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "recvfrom_into() must return (nbytes, address)");
    return settled(fail(state, self, read_error));
  }
  const Py_ssize_t received = PyLong_AsSsize_t(PyTuple_GET_ITEM(result.get(), 0));
  if (received < 0 || received > size) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "recvfrom_into() gave a bad length");
    return settled(fail(state, self, read_error));
  }
  data = PyRef::steal(PyBytes_FromStringAndSize(buffer, received));
  address = PyRef::borrow(PyTuple_GET_ITEM(result.get(), 1));
  return data ? Received::datagram : Received::failed;
}

// One datagram from an IP socket, by recvfrom(2) on its descriptor, with
// its address made as the socket module makes it.
Received receive_from_fd(const ModuleState& state, PyObject* self, char* buffer, long size,
                         PyRef& data, PyRef& address) {
  const int fd = fd_of(state, self);
  if (fd == -1 && PyErr_Occurred()) return settled(fail(state, self, read_error));
  sockaddr_storage from;
  socklen_t from_length;
  ssize_t received;
  for (;;) {
    from_length = sizeof from;
    received = recvfrom(fd, buffer, static_cast<std::size_t>(size), MSG_DONTWAIT,
                        reinterpret_cast<sockaddr*>(&from), &from_length);
    if (received >= 0 || errno != EINTR) break;
    if (PyErr_CheckSignals() < 0) break;
  }
  if (received < 0) {
    if (PyErr_Occurred()) return settled(socket_error(state, self, read_error));
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Received::done;
    PyErr_SetFromErrno(PyExc_OSError);
    return settled(socket_error(state, self, read_error));
  }
  const bool ip = from_length > 0 && (from.ss_family == AF_INET || from.ss_family == AF_INET6);
  address = ip ? ip_address_object(from) : PyRef::borrow(Py_None);
  data = address ? PyRef::steal(PyBytes_FromStringAndSize(buffer, received)) : PyRef();
  return data ? Received::datagram : Received::failed;
}

// asyncio's _read_ready: one datagram, through the thread's receive buffer,
// to protocol.datagram_received(data, addr).
Received receive_one(const ModuleState& state, PyObject* self, long size) {
  const auto& names = state.names;
  const int lost = attribute_truth(self, names.conn_lost);
  if (lost != 0) return lost < 0 ? Received::failed : Received::done;
  PyRef sock = attribute(self, names.sock);
  const int family = sock ? family_of(state, sock.get()) : -1;
  if (family < 0) return settled(fail(state, self, read_error));
  char* buffer = receive_buffer(static_cast<std::size_t>(size));
  if (buffer == nullptr) return settled(fail(state, self, read_error));
  PyRef data;
  PyRef address;
  const Received received =
      family == AF_INET || family == AF_INET6
          ? receive_from_fd(state, self, buffer, size, data, address)
          : receive_through_socket(state, self, sock.get(), buffer, size, data, address);
  if (received != Received::datagram) return received;
  PyRef protocol = attribute(self, names.protocol);
  if (!protocol) return Received::failed;
  PyRef delivered = call_method(protocol.get(), names.datagram_received, data.get(), address.get());
  return delivered ? Received::datagram : Received::failed;
}

// Whether the transport may take its next datagram in this callback. On
// asyncio's loop it comes in the next iteration, after whatever the last
// one scheduled, timers due and other descriptors' callbacks: so only when
// that iteration would do nothing else (see loop_core_only_reader_ready)
// and the transport still reads. It then costs no look for I/O.
int may_take_another(const ModuleState& state, PyObject* self) {
  PyRef loop = attribute(self, state.names.loop);
  if (!loop) return -1;
  if (!is_loop_core(state, loop.get())) return 0;
  const int alone = loop_core_only_reader_ready(loop.get());
  if (alone <= 0) return alone;
  PyRef reading = call_method(self, state.names.is_reading);
  return reading ? PyObject_IsTrue(reading.get()) : -1;
}

// The most datagrams one reader callback takes.
constexpr int datagrams_per_callback = 32;

// The reader callback.
PyObject* read_ready(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                     Py_ssize_t nargs, PyObject* kwnames) {
  if (!takes_no_arguments("_read_ready", nargs, kwnames)) return nullptr;
  const ModuleState& state = module_of(defining_class);
  PyRef size_object = attribute(self, state.names.max_size);
  if (!size_object) return nullptr;
  const long size = PyLong_CheckExact(size_object.get()) ? PyLong_AsLong(size_object.get()) : -1;
  if (size <= 0 || static_cast<unsigned long>(size) > receive_buffer_limit) {
    PyErr_Clear();  // asyncio's own errors and limits
    PyObject* args[] = {self};
    return PyObject_Vectorcall(state.datagram_read_ready, args, 1, nullptr);
  }
  for (int taken = 0; taken < datagrams_per_callback; ++taken) {
    const Received received = receive_one(state, self, size);
    if (received == Received::failed) return nullptr;
    if (received == Received::done) break;
    const int more = may_take_another(state, self);
    if (more < 0) return nullptr;
    if (more == 0) break;
  }
  Py_RETURN_NONE;
}

// asyncio's own sendto, called as this one was.
PyObject* asyncio_sendto(const ModuleState& state, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames = nullptr) {
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  std::vector<PyObject*> full(static_cast<std::size_t>(1 + nargs + keywords));
  full[0] = self;
  std::copy(args, args + nargs + keywords, full.begin() + 1);
  return PyObject_Vectorcall(state.datagram_sendto, full.data(), static_cast<std::size_t>(1 + nargs),
                             kwnames);
}

// send(2), or sendto(2) to `to` when `address` (the object it was made of)
// is given, on self's descriptor, as socket.send and socket.sendto would:
// the audit event, a retry after a signal once its handlers have run. False
// with the error set when it failed.
bool send_to_fd(const ModuleState& state, PyObject* self, PyObject* sock, PyObject* data,
                PyObject* address, const sockaddr_storage& to, socklen_t to_length) {
  if (address != nullptr && PySys_Audit("socket.sendto", "OO", sock, address) < 0) return false;
  const int fd = fd_of(state, self);
  if (fd == -1 && PyErr_Occurred()) return false;
  for (;;) {
    // Taken again after a signal: its handler may have resized a bytearray.
    const bool is_bytes = PyBytes_CheckExact(data);
    const char* bytes = is_bytes ? PyBytes_AS_STRING(data) : PyByteArray_AS_STRING(data);
    const auto length = static_cast<std::size_t>(is_bytes ? PyBytes_GET_SIZE(data)
                                                           : PyByteArray_GET_SIZE(data));
    const ssize_t sent =
        address == nullptr
            ? send(fd, bytes, length, MSG_DONTWAIT)
            : sendto(fd, bytes, length, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                     to_length);
    if (sent >= 0) return true;
    if (errno != EINTR) break;
    if (PyErr_CheckSignals() < 0) return false;
  }
  PyErr_SetFromErrno(PyExc_OSError);
  return false;
}

// sendto(data, addr=None): bytes or a bytearray to an unconnected socket,
// or to a connected one with addr None, sent here when nothing is queued;
// the rest (and a datagram the socket cannot take now) as asyncio sends it.
PyObject* sendto(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  const ModuleState& state = module_of(defining_class);
  const auto& names = state.names;
  if (kwnames != nullptr || nargs < 1 || nargs > 2) {
    return asyncio_sendto(state, self, args, nargs, kwnames);
  }
  PyObject* data = args[0];
  PyObject* address = nargs > 1 ? args[1] : Py_None;
  if (!PyBytes_CheckExact(data) && !PyByteArray_CheckExact(data)) {
    return asyncio_sendto(state, self, args, nargs);
  }
  PyRef connected_to = attribute(self, names.address);
  if (!connected_to) return nullptr;
  const int connected = PyObject_IsTrue(connected_to.get());
  if (connected < 0) return nullptr;
  if (connected && address != Py_None) return asyncio_sendto(state, self, args, nargs);
  const int lost = attribute_truth(self, names.conn_lost);
  if (lost != 0) return lost < 0 ? nullptr : asyncio_sendto(state, self, args, nargs);
  const int queued = attribute_truth(self, names.buffer);
  if (queued != 0) return queued < 0 ? nullptr : asyncio_sendto(state, self, args, nargs);
  PyRef extra = attribute(self, names.extra);
  if (!extra) return nullptr;
  PyRef peer = PyRef::steal(PyObject_GetItem(extra.get(), names.peername));
  const int has_peer = peer ? PyObject_IsTrue(peer.get()) : -1;
  if (has_peer < 0) return fail(state, self, write_error);
  PyRef sock = attribute(self, names.sock);
  const int family = sock ? family_of(state, sock.get()) : -1;
  if (family < 0) return fail(state, self, write_error);
  sockaddr_storage to;
  socklen_t to_length = 0;
  const bool direct =
      family != 0 && (has_peer || numeric_ip_address(address, family, to, to_length));
  if (!direct) {
    PyRef sent = has_peer ? call_method(sock.get(), names.send, data)
                          : call_method(sock.get(), names.sendto, data, address);
    if (sent) Py_RETURN_NONE;
  } else if (send_to_fd(state, self, sock.get(), data, has_peer ? nullptr : address, to,
                        to_length)) {
    Py_RETURN_NONE;
  }
  if (error_would_block()) {
    // asyncio's sendto tries once more, then queues the datagram.
    PyErr_Clear();
    return asyncio_sendto(state, self, args, nargs);
  }
  return socket_error(state, self, write_error);
}

PyDoc_STRVAR(read_ready_doc,
             "_read_ready($self)\n--\n\n"
             "The socket's reader: receive one datagram and hand it to the protocol.");
PyDoc_STRVAR(sendto_doc,
             "sendto($self, data, addr=None)\n--\n\n"
             "Send data (bytes-like) to addr, or to the connected peer when addr is None,\n"
             "without blocking. What the socket cannot take at once is queued.");

PyMethodDef methods[] = {
    {"_read_ready", velkor::as_method(read_ready), method_flags, read_ready_doc},
    {"sendto", velkor::as_method(sendto), method_flags, sendto_doc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* core_type_doc =
    "The native reader and sendto() of velkorio's datagram transport, which\n"
    "takes the rest from asyncio's.";

}  // namespace

bool init_datagram_transport_type(PyObject* module, ModuleState& state) {
  state.datagram_core_type = make_transport_core_type(module, "velkorio.DatagramTransportCore",
                                                      core_type_doc, methods);
  return state.datagram_core_type != nullptr;
}

}  // namespace velkorio
