#include "receive_buffer.h"

#include <errno.h>
#include <sys/socket.h>

#include <memory>
#include <new>

#include "malloc_thresholds.h"
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

ssize_t receive_some(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t received = recv(fd, buffer, size, 0);
    if (received >= 0 || errno != EINTR) return received;
    if (PyErr_CheckSignals() < 0) return -1;
  }
}

namespace {

// Whether the thread's last receive was large: the next one then goes
// straight into a bytes object, sparing a copy the size of the message.
thread_local bool last_was_large = false;

// From this size on a copy out of the thread's buffer costs more than
// allocating max_size and shrinking it.
constexpr std::size_t large_receive = 32 * 1024;

}  // namespace

PyRef receive_bytes(int fd, std::size_t size) {
  // A large block without raised thresholds is mapped, faulted in and
  // unmapped each time: the copy costs less then.
  const bool direct = size > receive_buffer_limit || (last_was_large && malloc_thresholds_raised());
  if (!direct) {
    char* buffer = receive_buffer(size);
    if (buffer == nullptr) return {};
    const ssize_t received = receive_some(fd, buffer, size);
    if (received < 0) return {};
    last_was_large = static_cast<std::size_t>(received) >= large_receive;
    return PyRef::steal(PyBytes_FromStringAndSize(buffer, received));
  }
  // As socket.recv does: max_size allocated, shrunk to what arrived, which
  // glibc does in place.
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return {};
  const ssize_t received = receive_some(fd, PyBytes_AS_STRING(bytes.get()), size);
  if (received < 0) return {};
  last_was_large = static_cast<std::size_t>(received) >= large_receive;
  PyObject* shrunk = bytes.release();
  if (_PyBytes_Resize(&shrunk, received) < 0) return {};
  return PyRef::steal(shrunk);
}

}  // namespace velkorio
