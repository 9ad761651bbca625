#include "tls_protocol.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/as_method.h"
#include "core/call_method.h"
#include "core/pyref.h"
#include "asyncio_refs.h"
#include "transport_common.h"

namespace velkorio {
namespace {

using velkor::call_method;
using velkor::PyRef;

constexpr const char* protocol_error = "Fatal error on SSL protocol";

using Tls = ModuleState::Tls;

// An int attribute as a Py_ssize_t: -1 with the error set on failure.
Py_ssize_t size_attribute(PyObject* object, PyObject* name) {
  PyRef value = attribute(object, name);
  return value ? PyNumber_AsSsize_t(value.get(), PyExc_OverflowError) : -1;
}

bool ssl_would_block(const Tls& tls) {
  return PyErr_ExceptionMatches(tls.want_read) || PyErr_ExceptionMatches(tls.syscall_error);
}

// What read(), write() and pending() are called on. For ssl.SSLObject over
// ssl.MemoryBIOs that is CPython's C object under it, whose emptiness the
// BIOs tell (`direct`); anything else (a subclass, a stand-in) is called
// as asyncio calls it, and read until it raises.
struct SslTarget {
  PyRef object;
  PyRef incoming;
  bool direct = false;
  // The last read returned less than it asked for. A read returns the
  // plaintext of one record at most, so the SSL object then holds none.
  bool drained = false;
};

bool get_target(const Tls& tls, PyObject* self, SslTarget& target) {
  PyRef sslobj = attribute(self, tls.sslobj);
  target.incoming = sslobj ? attribute(self, tls.incoming) : PyRef();
  if (!target.incoming) return false;
  if (Py_TYPE(sslobj.get()) == reinterpret_cast<PyTypeObject*>(tls.ssl_object) &&
      Py_TYPE(target.incoming.get()) == reinterpret_cast<PyTypeObject*>(tls.memory_bio)) {
    target.object = attribute(sslobj.get(), tls.sslobj);
    target.direct = true;
    return bool(target.object);
  }
  target.object = std::move(sslobj);
  return true;
}

// At least how many bytes a read may find, when some: what the incoming BIO
// holds, or else the plaintext the SSL object has decrypted and not handed
// out (which pending() tells, releasing the interpreter lock to ask). Zero
// means a read would raise SSLWantReadError: the SSL object takes records
// from the BIO only as it reads them, so no complete one waits anywhere
// else. Negative with the error set on failure.
Py_ssize_t readable(const Tls& tls, const SslTarget& target) {
  const Py_ssize_t incoming = size_attribute(target.incoming.get(), tls.pending);
  if (incoming != 0 || target.drained) return incoming;
  PyRef decrypted = call_method(target.object.get(), tls.pending);
  return decrypted ? PyNumber_AsSsize_t(decrypted.get(), PyExc_OverflowError) : -1;
}

// One read of at most `size` bytes, into `into` if given: the result, or a
// null PyRef with `again` set (the read would block) or the error set.
PyRef read_some(const Tls& tls, SslTarget& target, Py_ssize_t size, PyObject* into,
                bool& again) {
  again = false;
  if (target.direct && size > 0) {
    const Py_ssize_t available = readable(tls, target);
    if (available < 0) return {};
    if (available == 0) {
      again = true;
      return {};
    }
    if (into == nullptr) size = std::min(size, available);
  }
  PyRef length = PyRef::steal(PyLong_FromSsize_t(size));
  if (!length) return {};
  PyRef result = into ? call_method(target.object.get(), tls.read, length.get(), into)
                      : call_method(target.object.get(), tls.read, length.get());
  if (!result) {
    if (ssl_would_block(tls)) {
      PyErr_Clear();
      again = true;
    }
    return result;
  }
  const Py_ssize_t got = into ? PyLong_AsSsize_t(result.get()) : PyObject_Length(result.get());
  if (got == -1 && PyErr_Occurred()) return {};
  target.drained = got < size;
  return result;
}

// asyncio's _call_eof_received() and _start_shutdown(), after close_notify.
int close_notified(const Tls& tls, PyObject* self) {
  if (!call_method(self, tls.call_eof_received)) return -1;
  return call_method(self, tls.start_shutdown) ? 0 : -1;
}

// asyncio's _do_read__copied: all the plaintext there is, in one
// data_received().
int read_copied(const ModuleState& state, PyObject* self, SslTarget& target) {
  const Tls& tls = state.tls;
  const Py_ssize_t max_size = size_attribute(self, state.names.max_size);
  if (max_size < 0) return -1;
  PyRef first;
  PyRef chunks;  // a list, from the second chunk on
  bool closed = false;
  for (;;) {
    bool again;
    PyRef chunk = read_some(tls, target, max_size, nullptr, again);
    if (!chunk) {
      if (again) break;
      return -1;
    }
    const Py_ssize_t length = PyObject_Length(chunk.get());
    if (length < 0) return -1;
    if (length == 0) {
      closed = true;
      break;
    }
    if (!first) {
      first = std::move(chunk);
      continue;
    }
    if (!chunks) {
      chunks = PyRef::steal(PyList_New(0));
      if (!chunks || PyList_Append(chunks.get(), first.get()) < 0) return -1;
    }
    if (PyList_Append(chunks.get(), chunk.get()) < 0) return -1;
  }
  if (first) {
    PyRef data;
    if (chunks) {
      PyRef empty = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
      data = empty ? PyRef::steal(PyBytes_Join(empty.get(), chunks.get())) : PyRef();
    } else {
      data = std::move(first);
    }
    PyRef app = data ? attribute(self, tls.app_protocol) : PyRef();
    if (!app || !call_method(app.get(), state.names.data_received, data.get())) return -1;
  }
  return closed ? close_notified(tls, self) : 0;
}

// asyncio's _do_read__buffered: the plaintext into the application's
// buffer, as far as it goes. The rest of the buffer is read into through a
// view of it (asyncio slices the buffer, which copies a bytearray).
int read_buffered(const ModuleState& state, PyObject* self, SslTarget& target) {
  const Tls& tls = state.tls;
  PyRef hint = attribute(target.incoming.get(), tls.pending);
  PyRef get_buffer = hint ? attribute(self, tls.app_get_buffer) : PyRef();
  PyRef buffer = get_buffer ? PyRef::steal(PyObject_CallOneArg(get_buffer.get(), hint.get()))
                            : PyRef();
  if (!buffer) return -1;
  Py_buffer view;
  if (PyObject_GetBuffer(buffer.get(), &view, PyBUF_WRITABLE) < 0) return -1;
  const Py_ssize_t wants = view.len;
  Py_ssize_t offset = 0;
  Py_ssize_t count = 1;
  bool again = false;
  bool reschedule = false;
  PyRef result = read_some(tls, target, wants, buffer.get(), again);
  if (result) {
    count = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
    if (count > 0) {
      offset = count;
      while (offset < wants) {
        PyRef rest = PyRef::steal(PyMemoryView_FromMemory(static_cast<char*>(view.buf) + offset,
                                                          wants - offset, PyBUF_WRITE));
        result = rest ? read_some(tls, target, wants - offset, rest.get(), again) : PyRef();
        if (!result) break;
        count = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
        if (count <= 0) break;
        offset += count;
      }
      reschedule = result && offset >= wants;
    }
  }
  PyBuffer_Release(&view);
  if (!result && !again) return -1;
  if (count < 0 && PyErr_Occurred()) return -1;
  if (reschedule) {
    PyRef loop = attribute(self, state.names.loop);
    PyRef do_read = loop ? attribute(self, tls.do_read) : PyRef();
    if (!do_read || !call_method(loop.get(), tls.call_soon, do_read.get())) return -1;
  }
  if (offset > 0) {
    PyRef updated = attribute(self, tls.app_buffer_updated);
    PyRef size = updated ? PyRef::steal(PyLong_FromSsize_t(offset)) : PyRef();
    if (!size || !PyRef::steal(PyObject_CallOneArg(updated.get(), size.get()))) return -1;
  }
  return count == 0 ? close_notified(tls, self) : 0;
}

// Whether a flow-control check must go to asyncio's method: the buffered
// size has crossed the high mark while not paused, or the low one while
// paused. -1 on error.
int crosses_mark(PyObject* self, Py_ssize_t size, PyObject* high_name, PyObject* low_name,
                 PyObject* paused_name) {
  const int paused = attribute_truth(self, paused_name);
  if (paused < 0) return -1;
  const Py_ssize_t mark = size_attribute(self, paused ? low_name : high_name);
  if (mark < 0 && PyErr_Occurred()) return -1;
  return paused ? size <= mark : size >= mark;
}

int control_app_writing(const ModuleState& state, PyObject* self, PyObject* outgoing) {
  const Tls& tls = state.tls;
  const Py_ssize_t pending = size_attribute(outgoing, tls.pending);
  const Py_ssize_t backlog = pending < 0 ? -1 : size_attribute(self, tls.write_buffer_size);
  if (backlog < 0) return -1;
  const int crossed = crosses_mark(self, pending + backlog, tls.outgoing_high_water,
                                   tls.outgoing_low_water, tls.app_writing_paused);
  if (crossed <= 0) return crossed;
  return PyRef::steal(PyObject_CallOneArg(tls.control_app_writing, self)) ? 0 : -1;
}

int control_ssl_reading(const ModuleState& state, PyObject* self, PyObject* incoming) {
  const Tls& tls = state.tls;
  const Py_ssize_t pending = size_attribute(incoming, tls.pending);
  if (pending < 0) return -1;
  const int crossed = crosses_mark(self, pending, tls.incoming_high_water, tls.incoming_low_water,
                                   tls.ssl_reading_paused);
  if (crossed <= 0) return crossed;
  return PyRef::steal(PyObject_CallOneArg(tls.control_ssl_reading, self)) ? 0 : -1;
}

// asyncio's _process_outgoing: the records the SSL object has made, to the
// socket transport. An empty BIO is not read: that read would give b"".
int process_outgoing(const ModuleState& state, PyObject* self) {
  const Tls& tls = state.tls;
  PyRef outgoing = attribute(self, tls.outgoing);
  if (!outgoing) return -1;
  const int paused = attribute_truth(self, tls.ssl_writing_paused);
  if (paused < 0) return -1;
  const Py_ssize_t pending = paused ? 0 : size_attribute(outgoing.get(), tls.pending);
  if (pending < 0) return -1;
  if (pending > 0) {
    PyRef records = call_method(outgoing.get(), tls.read);
    PyRef transport = records ? attribute(self, tls.transport) : PyRef();
    if (!transport || !call_method(transport.get(), tls.write, records.get())) return -1;
  }
  return control_app_writing(state, self, outgoing.get());
}

// Adds `delta` to self._write_buffer_size.
int add_to_backlog_size(const Tls& tls, PyObject* self, Py_ssize_t delta) {
  PyRef size = attribute(self, tls.write_buffer_size);
  PyRef change = size ? PyRef::steal(PyLong_FromSsize_t(delta)) : PyRef();
  PyRef sum = change ? PyRef::steal(PyNumber_Add(size.get(), change.get())) : PyRef();
  return sum ? PyObject_SetAttr(self, tls.write_buffer_size, sum.get()) : -1;
}

// asyncio's _do_write: the backlog into the SSL object, then its records out.
int do_write(const ModuleState& state, PyObject* self) {
  const Tls& tls = state.tls;
  PyRef backlog = attribute(self, tls.write_backlog);
  SslTarget target;
  if (!backlog || !get_target(tls, self, target)) return -1;
  for (;;) {
    const Py_ssize_t queued = PyObject_Length(backlog.get());
    if (queued < 0) return -1;
    if (queued == 0) break;
    PyRef data = PyRef::steal(PySequence_GetItem(backlog.get(), 0));
    PyRef result = data ? call_method(target.object.get(), tls.write, data.get()) : PyRef();
    if (!result) {
      if (data && ssl_would_block(tls)) {
        PyErr_Clear();
        break;
      }
      return -1;
    }
    const Py_ssize_t count = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
    const Py_ssize_t length = count < 0 ? -1 : PyObject_Length(data.get());
    if (length < 0) return -1;
    if (count < length) {
      PyRef rest = PyRef::steal(PySequence_GetSlice(data.get(), count, length));
      if (!rest || PySequence_SetItem(backlog.get(), 0, rest.get()) < 0) return -1;
      if (add_to_backlog_size(tls, self, -count) < 0) return -1;
    } else {
      if (PySequence_DelItem(backlog.get(), 0) < 0) return -1;
      if (add_to_backlog_size(tls, self, -length) < 0) return -1;
    }
  }
  return process_outgoing(state, self);
}

// What asyncio's `except Exception as ex: self._fatal_error(ex, message)`
// makes of the error now set; anything else stays raised.
PyObject* fatal_on_exception(const ModuleState& state, PyObject* self) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  PyRef message = PyRef::steal(PyUnicode_FromString(protocol_error));
  if (!message) return nullptr;
  return call_method(self, state.names.fatal_error, exception.get(), message.get()).release();
}

int do_read_body(const ModuleState& state, PyObject* self) {
  const Tls& tls = state.tls;
  const int paused = attribute_truth(self, tls.app_reading_paused);
  if (paused < 0) return -1;
  if (!paused) {
    SslTarget target;
    if (!get_target(tls, self, target)) return -1;
    const int buffered = attribute_truth(self, tls.app_protocol_is_buffer);
    if (buffered < 0) return -1;
    if ((buffered ? read_buffered(state, self, target) : read_copied(state, self, target)) < 0) {
      return -1;
    }
    PyRef backlog = attribute(self, tls.write_backlog);
    const int waiting = backlog ? PyObject_IsTrue(backlog.get()) : -1;
    if (waiting < 0) return -1;
    if ((waiting ? do_write(state, self) : process_outgoing(state, self)) < 0) return -1;
  }
  PyRef incoming = attribute(self, tls.incoming);
  return incoming ? control_ssl_reading(state, self, incoming.get()) : -1;
}

// asyncio's _do_read, in the state `current` (self._state).
PyObject* do_read(const ModuleState& state, PyObject* self, PyObject* current) {
  const Tls& tls = state.tls;
  if (current != tls.wrapped && current != tls.flushing) Py_RETURN_NONE;
  if (do_read_body(state, self) < 0) return fatal_on_exception(state, self);
  Py_RETURN_NONE;
}

PyObject* do_read_method(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                         Py_ssize_t nargs, PyObject* kwnames) {
  if (!takes_no_arguments("_do_read", nargs, kwnames)) return nullptr;
  const ModuleState& state = module_of(defining_class);
  PyRef current = attribute(self, state.tls.state);
  return current ? do_read(state, self, current.get()) : nullptr;
}

PyObject* do_write_method(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                          Py_ssize_t nargs, PyObject* kwnames) {
  if (!takes_no_arguments("_do_write", nargs, kwnames)) return nullptr;
  return do_write(module_of(defining_class), self) < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject* process_outgoing_method(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                                  Py_ssize_t nargs, PyObject* kwnames) {
  if (!takes_no_arguments("_process_outgoing", nargs, kwnames)) return nullptr;
  return process_outgoing(module_of(defining_class), self) < 0 ? nullptr : Py_NewRef(Py_None);
}

bool one_argument(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 1 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument", name);
  return false;
}

// get_buffer(n): the protocol's receive buffer, which asyncio's method
// grows when it is smaller than asked.
PyObject* get_buffer(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  if (!one_argument("get_buffer", nargs, kwnames)) return nullptr;
  const ModuleState& state = module_of(defining_class);
  const Py_ssize_t max_size = size_attribute(self, state.names.max_size);
  if (max_size < 0) return nullptr;
  Py_ssize_t want = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
  if (want == -1 && PyErr_Occurred()) return nullptr;
  if (want <= 0 || want > max_size) want = max_size;
  PyRef view = attribute(self, state.tls.ssl_buffer_view);
  if (!view) return nullptr;
  const Py_ssize_t have = PyObject_Length(view.get());
  if (have < 0) return nullptr;
  if (have >= want) return view.release();
  PyObject* call[] = {self, args[0]};
  return PyObject_Vectorcall(state.tls.get_buffer, call, 2, nullptr);
}

// buffer_updated(nbytes): the bytes received into the buffer go into the
// incoming BIO, and the state decides what reads them.
PyObject* buffer_updated(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  if (!one_argument("buffer_updated", nargs, kwnames)) return nullptr;
  const ModuleState& state = module_of(defining_class);
  const Tls& tls = state.tls;
  const Py_ssize_t count = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  PyRef view = attribute(self, tls.ssl_buffer_view);
  PyRef received = view ? PyRef::steal(PySequence_GetSlice(view.get(), 0, count)) : PyRef();
  PyRef incoming = received ? attribute(self, tls.incoming) : PyRef();
  if (!incoming || !call_method(incoming.get(), tls.write, received.get())) return nullptr;
  PyRef current = attribute(self, tls.state);
  if (!current) return nullptr;
  if (current.get() == tls.wrapped) return do_read(state, self, current.get());
  PyObject* next = current.get() == tls.do_handshake_state ? tls.do_handshake
                   : current.get() == tls.flushing         ? tls.do_flush
                   : current.get() == tls.shutdown         ? tls.do_shutdown
                                                           : nullptr;
  return next ? call_method(self, next).release() : Py_NewRef(Py_None);
}

// One application write in the data phase with nothing queued before it:
// asyncio's _write_appdata((data,)) without the queue, unless the SSL
// object leaves some of it.
PyObject* write_appdata_one(const ModuleState& state, PyObject* self, PyObject* data) {
  const Tls& tls = state.tls;
  PyRef current = attribute(self, tls.state);
  PyRef backlog = current ? attribute(self, tls.write_backlog) : PyRef();
  if (!backlog) return nullptr;
  const int queued = current.get() == tls.wrapped ? PyObject_IsTrue(backlog.get()) : 1;
  if (queued != 0) {
    if (queued < 0) return nullptr;
    PyRef list = PyRef::steal(PyTuple_Pack(1, data));
    return list ? PyObject_CallFunctionObjArgs(tls.write_appdata, self, list.get(), nullptr)
                : nullptr;
  }
  const Py_ssize_t length = PyObject_Length(data);
  if (length < 0) return nullptr;
  SslTarget target;
  if (!get_target(tls, self, target)) return nullptr;
  PyRef result = call_method(target.object.get(), tls.write, data);
  Py_ssize_t count = 0;
  if (result) {
    count = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
    if (count < 0) return nullptr;
  } else if (ssl_would_block(tls)) {
    PyErr_Clear();
  } else {
    // asyncio queued the data before the write that failed.
    PyRef failure = PyRef::steal(PyErr_GetRaisedException());
    if (!call_method(backlog.get(), state.names.append, data) ||
        add_to_backlog_size(tls, self, length) < 0) {
      return nullptr;
    }
    PyErr_SetRaisedException(failure.release());
    return fatal_on_exception(state, self);
  }
  if (count < length) {
    PyRef rest = count == 0 ? PyRef::borrow(data)
                            : PyRef::steal(PySequence_GetSlice(data, count, length));
    if (!rest || !call_method(backlog.get(), state.names.append, rest.get()) ||
        add_to_backlog_size(tls, self, length - count) < 0) {
      return nullptr;
    }
  }
  if (process_outgoing(state, self) < 0) return fatal_on_exception(state, self);
  Py_RETURN_NONE;
}

// The application transport's write(data).
PyObject* transport_write(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  const ModuleState& state = module_of(defining_class);
  const Tls& tls = state.tls;
  if (nargs == 1 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) &&
      (PyBytes_Check(args[0]) || PyByteArray_Check(args[0]) || PyMemoryView_Check(args[0]))) {
    const int has_data = PyObject_IsTrue(args[0]);
    if (has_data <= 0) return has_data < 0 ? nullptr : Py_NewRef(Py_None);
    PyRef protocol = attribute(self, tls.ssl_protocol);
    if (!protocol) return nullptr;
    if (PyObject_TypeCheck(protocol.get(), tls.protocol_core_type)) {
      return write_appdata_one(state, protocol.get(), args[0]);
    }
  }
  // Anything else, with asyncio's errors.
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  std::vector<PyObject*> call(static_cast<std::size_t>(nargs + keywords + 1));
  call[0] = self;
  std::copy(args, args + nargs + keywords, call.begin() + 1);
  return PyObject_Vectorcall(tls.transport_write, call.data(), static_cast<std::size_t>(nargs + 1),
                             kwnames);
}

PyDoc_STRVAR(get_buffer_doc,
             "get_buffer($self, n, /)\n--\n\nThe buffer the socket's bytes are received into.");
PyDoc_STRVAR(buffer_updated_doc,
             "buffer_updated($self, nbytes, /)\n--\n\n"
             "nbytes were received into the buffer: decrypt what they complete.");
PyDoc_STRVAR(do_read_doc, "_do_read($self)\n--\n\nHand the plaintext there is to the application.");
PyDoc_STRVAR(do_write_doc,
             "_do_write($self)\n--\n\nEncrypt the queued writes and send the records.");
PyDoc_STRVAR(process_outgoing_doc,
             "_process_outgoing($self)\n--\n\nSend the records the SSL object has made.");
PyDoc_STRVAR(transport_write_doc,
             "write($self, data, /)\n--\n\n"
             "Write some data bytes to the transport.\n\n"
             "This does not block; it buffers the data and arranges for it\n"
             "to be sent out asynchronously.");

PyMethodDef protocol_methods[] = {
    {"get_buffer", velkor::as_method(get_buffer), method_flags, get_buffer_doc},
    {"buffer_updated", velkor::as_method(buffer_updated), method_flags, buffer_updated_doc},
    {"_do_read", velkor::as_method(do_read_method), method_flags, do_read_doc},
    {"_do_write", velkor::as_method(do_write_method), method_flags, do_write_doc},
    {"_process_outgoing", velkor::as_method(process_outgoing_method), method_flags,
     process_outgoing_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef transport_methods[] = {
    {"write", velkor::as_method(transport_write), method_flags, transport_write_doc},
    {nullptr, nullptr, 0, nullptr},
};


}  // namespace

bool init_tls_types(PyObject* module, ModuleState& state) {
  Tls& tls = state.tls;
  static constexpr const char* names[] = {
      "_state", "_incoming", "_outgoing", "_sslobj", "_app_reading_paused",
      "_app_protocol_is_buffer", "_app_protocol", "_app_protocol_get_buffer",
      "_app_protocol_buffer_updated", "_write_backlog", "_transport", "_ssl_writing_paused",
      "_write_buffer_size", "_outgoing_high_water", "_outgoing_low_water",
      "_app_writing_paused", "_incoming_high_water", "_incoming_low_water",
      "_ssl_reading_paused", "_ssl_buffer_view", "pending", "read", "write", "_do_handshake",
      "_do_flush", "_do_shutdown", "_do_read", "_call_eof_received", "_start_shutdown",
      "call_soon", "_ssl_protocol", "get_buffer", "buffer_updated",
  };
  PyObject** slots = &tls.state;
  static_assert(sizeof(names) / sizeof(names[0]) ==
                (sizeof(Tls) - offsetof(Tls, state)) / sizeof(PyObject*));
  for (const char* text : names) {
    *slots = PyUnicode_InternFromString(text);
    if (*slots++ == nullptr) return false;
  }
  PyRef states = PyRef::steal(lookup("asyncio.sslproto", "SSLProtocolState"));
  PyRef protocol = PyRef::steal(lookup("asyncio.sslproto", "SSLProtocol"));
  PyRef transport = PyRef::steal(lookup("asyncio.sslproto", "_SSLProtocolTransport"));
  if (!states || !protocol || !transport) return false;
  const auto member = PyObject_GetAttrString;
  // What the lookups leave behind on failure, the module's clear releases.
  if (!((tls.ssl_object = lookup("ssl", "SSLObject")) &&
        (tls.memory_bio = lookup("ssl", "MemoryBIO")) &&
        (tls.want_read = lookup("ssl", "SSLWantReadError")) &&
        (tls.syscall_error = lookup("ssl", "SSLSyscallError")) &&
        (tls.wrapped = member(states.get(), "WRAPPED")) &&
        (tls.flushing = member(states.get(), "FLUSHING")) &&
        (tls.shutdown = member(states.get(), "SHUTDOWN")) &&
        (tls.do_handshake_state = member(states.get(), "DO_HANDSHAKE")) &&
        (tls.write_appdata = member(protocol.get(), "_write_appdata")) &&
        (tls.control_app_writing = member(protocol.get(), "_control_app_writing")) &&
        (tls.control_ssl_reading = member(protocol.get(), "_control_ssl_reading")) &&
        (tls.get_buffer = member(protocol.get(), "get_buffer")) &&
        (tls.transport_write = member(transport.get(), "write")))) {
    return false;
  }
  tls.protocol_core_type = make_transport_core_type(
      module, "velkorio.TLSProtocolCore",
      "The native data phase of velkorio's TLS protocol, which takes the rest\n"
      "from asyncio's SSLProtocol.",
      protocol_methods);
  if (tls.protocol_core_type == nullptr) return false;
  tls.transport_core_type = make_transport_core_type(
      module, "velkorio.TLSTransportCore",
      "The native write() of velkorio's TLS transport, which takes the rest\n"
      "from asyncio's.",
      transport_methods);
  return tls.transport_core_type != nullptr;
}

}  // namespace velkorio
