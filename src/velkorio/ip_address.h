#pragma once
// IP socket addresses between the kernel's form and the socket module's:
// what recvfrom() gives for a datagram, and what sendto() takes when the
// host is written out in digits. Anything else (a name to resolve, an
// interface in the host, another family) is the socket module's to handle.

#include <Python.h>
#include <sys/socket.h>

#include "core/pyref.h"

namespace velkorio {

// The address of an AF_INET or AF_INET6 sockaddr as socket.recvfrom()
// makes it: (host, port), or (host, port, flowinfo, scope_id). Null with
// the error set on failure; a sockaddr of another family is a caller's error.
velkor::PyRef ip_address_object(const sockaddr_storage& address);

// `address` as the kernel's sockaddr for a socket of `family`, when it is
// an address socket.sendto() would turn into that sockaddr without a name
// lookup: an exact tuple of a digits-only ASCII host and exact ints in
// range. False, with no error set, for anything else.
bool numeric_ip_address(PyObject* address, int family, sockaddr_storage& out, socklen_t& length);

}  // namespace velkorio
