#pragma once
// DatagramTransportCore: the native base of velkorio's datagram transport,
// mixed in before asyncio's _SelectorDatagramTransport. It takes over the
// reader callback, which receives one datagram into the thread's receive
// buffer (asyncio allocates max_size, 256 KiB, for each) and hands it to
// the protocol, and sendto() when the datagram goes out at once. A queue of
// datagrams waiting for the socket, a connected endpoint given an address,
// data other than bytes and bytearray, and unusual sizes go to asyncio's
// own methods.

#include <Python.h>

#include "module_state.h"

namespace velkorio {

bool init_datagram_transport_type(PyObject* module, ModuleState& state);

}  // namespace velkorio
