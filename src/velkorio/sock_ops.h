#pragma once
// The loop's sock_* coroutines (sock_recv, sock_sendall, sock_accept...),
// native for a plain socket.socket. velkorio.Loop's coroutines call one
// `_start_sock_<op>` method each, which makes asyncio's first attempt and,
// when the socket is not ready, sets up asyncio's wait: a future, a reader
// or writer whose callback (a SocketWait) tries again, and a done callback
// that removes the watch, so that a cancelled wait leaves nothing behind.
//
// Each method returns (None, result) when the first attempt finished,
// (future, None) when the caller is to await the future, or NotImplemented
// where asyncio's own method must serve: a socket of another type, whose
// methods may be its own, and debug mode, whose checks are asyncio's.

#include <Python.h>

#include "module_state.h"

namespace velkorio {

bool init_socket_wait_type(PyObject* module, ModuleState& state);

PyObject* loop_start_sock_recv(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_start_sock_recv_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_start_sock_recvfrom(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_start_sock_recvfrom_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_start_sock_sendall(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_start_sock_sendto(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_start_sock_accept(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
PyObject* loop_start_sock_connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velkorio
