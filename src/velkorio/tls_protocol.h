#pragma once
// TLSProtocolCore and TLSTransportCore: the native data phase of velkorio's
// TLS connections, mixed in before asyncio's sslproto.SSLProtocol and
// _SSLProtocolTransport.
//
// asyncio's SSL protocol decides everything about a connection: the
// handshake, the shutdown, the timeouts and the flow control are its
// Python code. What runs for every record once the handshake is done is
// here: the bytes from the socket into the incoming memory BIO, the
// plaintext out of CPython's SSL object to the application, the
// application's writes into the SSL object and the records out to the
// socket transport. It calls the C methods of the SSL object under
// ssl.SSLObject directly (a subclass set as sslobject_class is called
// through its own methods), and reads only while the BIOs hold something,
// where asyncio reads until the SSL object raises SSLWantReadError, which
// costs a microsecond for every read.
//
// Every state but the data phase, and any flow-control change, goes to
// asyncio's methods, so what an application sees is asyncio's.

#include <Python.h>

#include "module_state.h"

namespace velkorio {

bool init_tls_types(PyObject* module, ModuleState& state);

}  // namespace velkorio
