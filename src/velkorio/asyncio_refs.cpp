#include "asyncio_refs.h"

#include <iterator>

namespace velkorio {

PyObject* lookup(const char* module_name, const char* name) {
  PyObject* module = PyImport_ImportModule(module_name);
  if (module == nullptr) return nullptr;
  PyObject* value = PyObject_GetAttrString(module, name);
  Py_DECREF(module);
  return value;
}

namespace {

// A new reference to <module_name>.<type_name>.<name> as the type has it
// (a descriptor, not what an instance gives).
PyObject* member_of(const char* module_name, const char* type_name, const char* name) {
  PyObject* type = lookup(module_name, type_name);
  if (type == nullptr) return nullptr;
  PyObject* member = PyObject_GetAttrString(type, name);
  Py_DECREF(type);
  return member;
}

// A new reference to asyncio.selector_events.<type_name>.<name>.
PyObject* method_of(const char* type_name, const char* name) {
  return member_of("asyncio.selector_events", type_name, name);
}

// In the order of ModuleState::Names.
constexpr const char* name_texts[] = {
    "time", "acquire", "release", "_read_ready_cb", "_conn_lost", "_sock_fd",
    "max_size", "_protocol", "data_received", "_fatal_error", "_read_ready__on_eof", "_eof",
    "_empty_waiter", "_buffer", "_loop", "_add_writer", "_write_ready", "append",
    "_maybe_pause_protocol", "fileno", "recv", "recv_into", "recvfrom", "recvfrom_into", "send",
    "sendto", "accept", "setblocking", "connect", "getsockopt", "create_future",
    "_ensure_fd_no_transport", "_add_reader", "remove_reader", "remove_writer",
    "add_done_callback", "done", "cancelled", "set_result", "set_exception", "_sock", "_address",
    "_extra", "peername", "error_received", "datagram_received", "is_reading",
    "_closing",
};
static_assert(std::size(name_texts) == sizeof(ModuleState::Names) / sizeof(PyObject*));

}  // namespace

bool init_asyncio_refs(ModuleState& state) {
  PyObject** names = reinterpret_cast<PyObject**>(&state.names);
  for (std::size_t i = 0; i < std::size(name_texts); ++i) {
    names[i] = PyUnicode_InternFromString(name_texts[i]);
    if (names[i] == nullptr) return false;
  }
  // What the lookups leave behind on failure, the module's clear releases.
  return (state.format_callback_source =
              lookup("asyncio.format_helpers", "_format_callback_source")) &&
         (state.extract_stack = lookup("asyncio.format_helpers", "extract_stack")) &&
         (state.format_handle = lookup("asyncio.base_events", "_format_handle")) &&
         (state.logger = lookup("asyncio.base_events", "logger")) &&
         (state.selector_key = lookup("selectors", "SelectorKey")) &&
         (state.selector_mapping = lookup("selectors", "_SelectorMapping")) &&
         (state.base_selector_loop = lookup("asyncio.selector_events", "BaseSelectorEventLoop")) &&
         (state.threadsafe_handle = lookup("asyncio.events", "_ThreadSafeHandle")) &&
         (state.tasks_module = PyImport_ImportModule("asyncio.tasks")) &&
         (state.loop_keyword = Py_BuildValue("(s)", "loop")) &&
         (state.transport_data_received = method_of("_SelectorSocketTransport",
                                                    "_read_ready__data_received")) &&
         (state.transport_write = method_of("_SelectorSocketTransport", "write")) &&
         (state.transport_get_buffer = method_of("_SelectorSocketTransport",
                                                 "_read_ready__get_buffer")) &&
         (state.datagram_read_ready = method_of("_SelectorDatagramTransport", "_read_ready")) &&
         (state.datagram_sendto = method_of("_SelectorDatagramTransport", "sendto")) &&
         (state.socket_type = reinterpret_cast<PyTypeObject*>(lookup("socket", "socket"))) &&
         (state.socket_family = member_of("_socket", "socket", "family"));
}

}  // namespace velkorio
