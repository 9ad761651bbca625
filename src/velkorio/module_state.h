#pragma once
// ModuleState: everything velkorio._core keeps, held by the module object.
//
// An interpreter of its own (concurrent.interpreters) imports a module of
// its own, with a state of its own: its types, the pieces of asyncio that
// the native code calls and the interned names it looks attributes up by.
// Objects never cross interpreters, so an object finds the state it needs
// through its type: a loop once, when it is made (LoopState keeps it), the
// selector and the handles through their exact type, the socket
// transport's methods through the class that defines them. Nothing here is
// shared between interpreters, and nothing native is process-wide but
// flags about what the kernel refuses and a per-thread receive buffer.

#include <Python.h>

#include <array>

namespace velkorio {

struct ModuleState {
  // Our types.
  PyTypeObject* handle_type = nullptr;
  PyTypeObject* timer_handle_type = nullptr;
  PyTypeObject* loop_core_type = nullptr;
  PyTypeObject* selector_type = nullptr;
  PyTypeObject* transport_core_type = nullptr;
  PyTypeObject* socket_wait_type = nullptr;
  PyTypeObject* datagram_core_type = nullptr;
  PyTypeObject* socket_type = nullptr;  // socket.socket, whose sock_* calls are native
  // _socket.socket's `family` member, the int that socket.socket's property
  // turns into an AddressFamily.
  PyObject* socket_family = nullptr;

  // asyncio's pieces, looked up when the module is made.
  PyObject* format_callback_source = nullptr;  // format_helpers._format_callback_source
  PyObject* extract_stack = nullptr;           // format_helpers.extract_stack
  PyObject* format_handle = nullptr;           // base_events._format_handle
  PyObject* logger = nullptr;                  // base_events.logger
  PyObject* selector_key = nullptr;            // selectors.SelectorKey
  PyObject* selector_mapping = nullptr;        // selectors._SelectorMapping
  // selector_events.BaseSelectorEventLoop: its methods serve a loop given a
  // selector other than ours, and calls our fast paths do not take on.
  PyObject* base_selector_loop = nullptr;
  // events._ThreadSafeHandle, what call_soon_threadsafe returns, and its
  // slots' member descriptors (see threadsafe_handle.h).
  PyObject* threadsafe_handle = nullptr;
  std::array<PyObject*, 8> threadsafe_slots{};
  PyObject* new_lock = nullptr;                 // _thread.RLock
  PyObject* tasks_module = nullptr;             // asyncio.tasks, whose Task create_task makes
  PyObject* loop_keyword = nullptr;             // ("loop",)
  // selector_events._SelectorSocketTransport's data-receiving reader and
  // write(), which the native transport replays and falls back on.
  PyObject* transport_data_received = nullptr;
  PyObject* transport_write = nullptr;
  // _SelectorDatagramTransport's reader and sendto(), likewise.
  PyObject* datagram_read_ready = nullptr;
  PyObject* datagram_sendto = nullptr;
  PyObject* own_time = nullptr;  // LoopCore's `time` descriptor
  // selector_events._SelectorSocketTransport's reader for a buffered protocol.
  PyObject* transport_get_buffer = nullptr;

  // What the TLS protocol's native data phase uses (see tls_protocol.h):
  // asyncio's pieces and its attribute names, all looked up when the
  // module is made.
  struct Tls {
    PyTypeObject* protocol_core_type;
    PyTypeObject* transport_core_type;
    PyObject* ssl_object;        // ssl.SSLObject, whose _sslobj is called directly
    PyObject* memory_bio;        // ssl.MemoryBIO
    PyObject* want_read;         // ssl.SSLWantReadError and ssl.SSLSyscallError:
    PyObject* syscall_error;     //   asyncio's SSLAgainErrors
    PyObject* wrapped;           // sslproto.SSLProtocolState's members
    PyObject* flushing;
    PyObject* shutdown;
    PyObject* do_handshake_state;
    // sslproto.SSLProtocol's methods, for the cases the native code leaves
    // to asyncio, and _SSLProtocolTransport.write.
    PyObject* write_appdata;
    PyObject* control_app_writing;
    PyObject* control_ssl_reading;
    PyObject* get_buffer;
    PyObject* transport_write;
    // Interned attribute names.
    PyObject* state;
    PyObject* incoming;
    PyObject* outgoing;
    PyObject* sslobj;
    PyObject* app_reading_paused;
    PyObject* app_protocol_is_buffer;
    PyObject* app_protocol;
    PyObject* app_get_buffer;
    PyObject* app_buffer_updated;
    PyObject* write_backlog;
    PyObject* transport;
    PyObject* ssl_writing_paused;
    PyObject* write_buffer_size;
    PyObject* outgoing_high_water;
    PyObject* outgoing_low_water;
    PyObject* app_writing_paused;
    PyObject* incoming_high_water;
    PyObject* incoming_low_water;
    PyObject* ssl_reading_paused;
    PyObject* ssl_buffer_view;
    PyObject* pending;
    PyObject* read;
    PyObject* write;
    PyObject* do_handshake;
    PyObject* do_flush;
    PyObject* do_shutdown;
    PyObject* do_read;
    PyObject* call_eof_received;
    PyObject* start_shutdown;
    PyObject* call_soon;
    PyObject* ssl_protocol;
    PyObject* get_buffer_name;
    PyObject* buffer_updated;
  } tls{};

  // Interned names.
  struct Names {
    PyObject* time;
    PyObject* acquire;
    PyObject* release;
    PyObject* read_ready_cb;
    PyObject* conn_lost;
    PyObject* sock_fd;
    PyObject* max_size;
    PyObject* protocol;
    PyObject* data_received;
    PyObject* fatal_error;
    PyObject* on_eof;
    PyObject* eof;
    PyObject* empty_waiter;
    PyObject* buffer;
    PyObject* loop;
    PyObject* add_writer;
    PyObject* write_ready;
    PyObject* append;
    PyObject* maybe_pause_protocol;
    PyObject* fileno;
    PyObject* recv;
    PyObject* recv_into;
    PyObject* recvfrom;
    PyObject* recvfrom_into;
    PyObject* send;
    PyObject* sendto;
    PyObject* accept;
    PyObject* setblocking;
    PyObject* connect;
    PyObject* getsockopt;
    PyObject* create_future;
    PyObject* ensure_fd_no_transport;
    PyObject* add_reader;
    PyObject* remove_reader;  // the public ones, which asyncio's sock_* done callbacks call
    PyObject* remove_writer;
    PyObject* add_done_callback;
    PyObject* done;
    PyObject* cancelled;
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* sock;
    PyObject* address;
    PyObject* extra;
    PyObject* peername;
    PyObject* error_received;
    PyObject* datagram_received;
    PyObject* is_reading;
    PyObject* closing;
  } names{};

  // Calls `visit(PyObject*&)` on every reference above.
  template <typename Visit>
  void for_each_reference(Visit visit) {
    for (PyTypeObject** type : {&handle_type, &timer_handle_type, &loop_core_type, &selector_type,
                                &transport_core_type, &socket_wait_type, &socket_type,
                                &datagram_core_type}) {
      PyObject* object = reinterpret_cast<PyObject*>(*type);
      visit(object);
      *type = reinterpret_cast<PyTypeObject*>(object);
    }
    for (PyObject** slot :
         {&format_callback_source, &extract_stack, &format_handle, &logger, &selector_key,
          &selector_mapping, &base_selector_loop, &threadsafe_handle, &new_lock, &tasks_module,
          &loop_keyword, &transport_data_received, &transport_write, &datagram_read_ready,
          &datagram_sendto, &own_time, &transport_get_buffer, &socket_family}) {
      visit(*slot);
    }
    for (PyObject*& slot : threadsafe_slots) visit(slot);
    PyObject** first = reinterpret_cast<PyObject**>(&names);
    for (std::size_t i = 0; i < sizeof(Names) / sizeof(PyObject*); ++i) visit(first[i]);
    PyObject** tls_first = reinterpret_cast<PyObject**>(&tls);
    for (std::size_t i = 0; i < sizeof(Tls) / sizeof(PyObject*); ++i) visit(tls_first[i]);
  }
};

extern PyModuleDef module_definition;

inline ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module whose type `type` is, or derives from. Null with
// the error set when it is none of ours.
inline ModuleState* state_of_type(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_definition);
  return module ? &module_state(module) : nullptr;
}

}  // namespace velkorio
