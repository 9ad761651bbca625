#pragma once
// SocketTransportCore: the native base of velkorio's TCP and Unix stream
// transport, mixed in before asyncio's _SelectorSocketTransport. It takes
// over the two calls every request makes, the reader callback that receives
// and hands data to the protocol, and write() when the data goes out at
// once, and replays asyncio's code for them step by step. Whatever else
// happens (buffered protocols, a backlog to flush, a closing or failed
// transport, sendfile) goes to asyncio's own methods, with their state kept
// where they keep it: in the transport's attributes.

#include <Python.h>

#include "module_state.h"

namespace velkorio {

bool init_socket_transport_type(PyObject* module, ModuleState& state);

}  // namespace velkorio
