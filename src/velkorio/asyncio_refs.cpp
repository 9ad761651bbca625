#include "asyncio_refs.h"

namespace velkorio::asyncio_refs {

PyObject* format_callback_source = nullptr;
PyObject* extract_stack = nullptr;
PyObject* format_handle = nullptr;
PyObject* logger = nullptr;
PyObject* selector_key = nullptr;
PyObject* selector_mapping = nullptr;
PyObject* base_selector_loop = nullptr;
PyObject* threadsafe_handle = nullptr;
PyObject* tasks_module = nullptr;
PyObject* loop_keyword = nullptr;

namespace {

// A new reference to module.name, or null with the error set.
PyObject* lookup(const char* module_name, const char* name) {
  PyObject* module = PyImport_ImportModule(module_name);
  if (module == nullptr) return nullptr;
  PyObject* value = PyObject_GetAttrString(module, name);
  Py_DECREF(module);
  return value;
}

}  // namespace

bool init() {
  if (format_callback_source != nullptr) return true;
  format_callback_source = lookup("asyncio.format_helpers", "_format_callback_source");
  extract_stack = format_callback_source ? lookup("asyncio.format_helpers", "extract_stack") : nullptr;
  format_handle = extract_stack ? lookup("asyncio.base_events", "_format_handle") : nullptr;
  logger = format_handle ? lookup("asyncio.base_events", "logger") : nullptr;
  selector_key = logger ? lookup("selectors", "SelectorKey") : nullptr;
  selector_mapping = selector_key ? lookup("selectors", "_SelectorMapping") : nullptr;
  base_selector_loop =
      selector_mapping ? lookup("asyncio.selector_events", "BaseSelectorEventLoop") : nullptr;
  threadsafe_handle =
      base_selector_loop ? lookup("asyncio.events", "_ThreadSafeHandle") : nullptr;
  tasks_module = threadsafe_handle ? PyImport_ImportModule("asyncio.tasks") : nullptr;
  loop_keyword = tasks_module ? Py_BuildValue("(s)", "loop") : nullptr;
  if (loop_keyword != nullptr) return true;
  Py_CLEAR(threadsafe_handle);
  Py_CLEAR(tasks_module);
  Py_CLEAR(format_callback_source);
  Py_CLEAR(extract_stack);
  Py_CLEAR(format_handle);
  Py_CLEAR(logger);
  Py_CLEAR(selector_key);
  Py_CLEAR(selector_mapping);
  Py_CLEAR(base_selector_loop);
  return false;
}

}  // namespace velkorio::asyncio_refs
