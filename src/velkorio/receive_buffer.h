#pragma once
// recv(2) into a buffer the thread keeps, copied out at the size that
// arrived: how the socket and datagram transports receive.
//
// socket.recv(n) allocates n bytes for every receive and shrinks the result;
// asyncio asks for 256 KiB, which glibc serves with mmap until something
// raises its threshold, so a fresh process pays a mapping, page faults and
// an unmapping per receive: several times the cost of a 1 KiB request. A
// copy of what arrived costs a fraction of the kernel's own copy.

#include <Python.h>

#include <sys/types.h>

#include <cstddef>

#include "core/pyref.h"

namespace velkorio {

// The largest receive that goes through the thread's buffer: asyncio's
// default max_size. A larger one receives into a bytes object of its size,
// shrunk to what arrived, as socket.recv does, so that one large receive
// does not leave every thread holding its size.
constexpr std::size_t receive_buffer_limit = 256 * 1024;

// The thread's buffer, at least `size` (<= receive_buffer_limit) bytes;
// null with MemoryError set.
char* receive_buffer(std::size_t size);

// recv(2) into `buffer`, retried after a signal once its handlers have run
// (PEP 475, as socket.recv is). -1 with errno set, or with a Python error
// set after a failing handler.
ssize_t receive_some(int fd, char* buffer, std::size_t size);

// At most `size` (> 0) bytes from fd, as socket.recv(size) gives them: b""
// at end of file; retried after a signal once its handlers have run. On
// failure null, with either a Python error set (a failing signal handler,
// no memory) or none and errno saying what recv(2) refused (EAGAIN too).
velkor::PyRef receive_bytes(int fd, std::size_t size);

}  // namespace velkorio
