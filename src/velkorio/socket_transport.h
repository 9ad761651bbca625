#pragma once
// SocketTransportCore: the native base of velkorio's TCP and Unix stream
// transport, mixed in before asyncio's _SelectorSocketTransport. It takes
// over the two calls every request makes, the reader callback that receives
// and hands data to the protocol, and write() when the data goes out at
// once (at the end of the loop's pass, see write_batch.h), and replays
// asyncio's code for them step by step. Whatever else
// happens (buffered protocols, a backlog to flush, a closing or failed
// transport, sendfile) goes to asyncio's own methods, with their state kept
// where they keep it: in the transport's attributes.

#include <Python.h>

#include "module_state.h"
#include "write_batch.h"

namespace velkorio {

// Sends what the loop's transports wrote during its pass, each
// transport's writes in one sendmsg, in the order the transports were
// first written. -1 with the first error set when a transport's error
// handling raised (SystemExit, KeyboardInterrupt); the others send theirs
// all the same.
int flush_writes(const ModuleState& state, WriteBatch& batch);

bool init_socket_transport_type(PyObject* module, ModuleState& state);

}  // namespace velkorio
