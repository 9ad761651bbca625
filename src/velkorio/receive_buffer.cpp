#include "receive_buffer.h"

#include <errno.h>
#include <sys/socket.h>

#include <memory>
#include <new>

#include "runtime/invariant.h"

namespace velkorio {

using velkor::PyRef;

char* receive_buffer(std::size_t size) {
  VELKOR_INVARIANT(size <= receive_buffer_limit, "the receive buffer stays bounded");
  thread_local std::unique_ptr<char[]> buffer;
  thread_local std::size_t capacity = 0;
  if (capacity < size) {
    try {
      buffer = std::make_unique_for_overwrite<char[]>(size);
    } catch (const std::bad_alloc&) {
      capacity = 0;
      PyErr_NoMemory();
      return nullptr;
    }
    capacity = size;
  }
  return buffer.get();
}

namespace {

// recv(2), retried after a signal once its handlers have run (PEP 475, as
// socket.recv is). -1 with errno set, or with a Python error set after a
// failing handler.
ssize_t receive_into(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t received = recv(fd, buffer, size, 0);
    if (received >= 0 || errno != EINTR) return received;
    if (PyErr_CheckSignals() < 0) return -1;
  }
}

}  // namespace

PyRef receive_bytes(int fd, std::size_t size) {
  if (size <= receive_buffer_limit) {
    char* buffer = receive_buffer(size);
    if (buffer == nullptr) return {};
    const ssize_t received = receive_into(fd, buffer, size);
    if (received < 0) return {};
    return PyRef::steal(PyBytes_FromStringAndSize(buffer, received));
  }
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return {};
  const ssize_t received = receive_into(fd, PyBytes_AS_STRING(bytes.get()), size);
  if (received < 0) return {};
  PyObject* shrunk = bytes.release();
  if (_PyBytes_Resize(&shrunk, received) < 0) return {};
  return PyRef::steal(shrunk);
}

}  // namespace velkorio
