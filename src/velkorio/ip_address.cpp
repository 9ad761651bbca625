#include "ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace velkorio {

using velkor::PyRef;

namespace {

// An exact int in [0, limit].
bool small_int(PyObject* value, unsigned long limit, unsigned long& out) {
  if (!PyLong_CheckExact(value)) return false;
  out = PyLong_AsUnsignedLong(value);
  if (out == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // negative or too large: the socket module's error
    return false;
  }
  return out <= limit;
}

// The host of an address tuple as the kernel's address bytes, when it is
// written in digits in the family's own notation. The socket module reads
// such a host with inet_pton() and looks anything else up by name.
bool numeric_host(PyObject* host, int family, void* out) {
  if (!PyUnicode_CheckExact(host) || !PyUnicode_IS_ASCII(host)) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(host, &size);
  // A NUL inside is the socket module's TypeError.
  return text != nullptr && std::strlen(text) == static_cast<std::size_t>(size) &&
         inet_pton(family, text, out) == 1;
}

}  // namespace

PyRef ip_address_object(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN];
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
    return PyRef::steal(Py_BuildValue("(si)", host, ntohs(in.sin_port)));
  }
  const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
  inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
  return PyRef::steal(Py_BuildValue("(siII)", host, ntohs(in6.sin6_port),
                                    ntohl(in6.sin6_flowinfo), in6.sin6_scope_id));
}

bool numeric_ip_address(PyObject* address, int family, sockaddr_storage& out, socklen_t& length) {
  if (!PyTuple_CheckExact(address)) return false;
  const Py_ssize_t size = PyTuple_GET_SIZE(address);
  unsigned long port = 0;
  std::memset(&out, 0, sizeof out);
  if (family == AF_INET) {
    auto& in = reinterpret_cast<sockaddr_in&>(out);
    if (size != 2 || !small_int(PyTuple_GET_ITEM(address, 1), 0xffff, port) ||
        !numeric_host(PyTuple_GET_ITEM(address, 0), AF_INET, &in.sin_addr)) {
      return false;
    }
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof in;
    return true;
  }
  if (family != AF_INET6 || size < 2 || size > 4) return false;
  auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
  unsigned long flowinfo = 0;
  unsigned long scope_id = 0;
  if (!small_int(PyTuple_GET_ITEM(address, 1), 0xffff, port) ||
      (size > 2 && !small_int(PyTuple_GET_ITEM(address, 2), 0xfffff, flowinfo)) ||
      (size > 3 && !small_int(PyTuple_GET_ITEM(address, 3), 0xffffffff, scope_id)) ||
      !numeric_host(PyTuple_GET_ITEM(address, 0), AF_INET6, &in6.sin6_addr)) {
    return false;
  }
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(static_cast<uint16_t>(port));
  in6.sin6_flowinfo = htonl(static_cast<uint32_t>(flowinfo));
  in6.sin6_scope_id = static_cast<uint32_t>(scope_id);
  length = sizeof in6;
  return true;
}

}  // namespace velkorio
