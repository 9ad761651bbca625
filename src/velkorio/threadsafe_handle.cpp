#include "threadsafe_handle.h"

#include <array>

#include "handle.h"

namespace velkorio {
namespace {

using velkor::PyRef;

// The slots of asyncio's Handle, and _ThreadSafeHandle's own, by their
// member descriptors: looked up when the module is made, into its state.
enum Slot { callback, args, cancelled, loop, source_traceback, repr, context, lock, slot_count };
constexpr std::array<const char*, slot_count> slot_names = {
    "_callback", "_args", "_cancelled", "_loop", "_source_traceback", "_repr", "_context", "_lock"};
static_assert(slot_count == std::tuple_size_v<decltype(ModuleState::threadsafe_slots)>);

bool set(ModuleState& state, PyObject* handle, Slot slot, PyObject* value) {
  PyObject* descriptor = state.threadsafe_slots[slot];
  return Py_TYPE(descriptor)->tp_descr_set(descriptor, handle, value) == 0;
}

PyRef get(ModuleState& state, PyObject* handle, Slot slot) {
  PyObject* descriptor = state.threadsafe_slots[slot];
  return PyRef::steal(Py_TYPE(descriptor)->tp_descr_get(
      descriptor, handle, reinterpret_cast<PyObject*>(Py_TYPE(handle))));
}

// Handle._run, with the handle's lock held by the caller.
int run_locked(ModuleState& state, PyObject* handle) {
  PyRef flag = get(state, handle, cancelled);
  const int is_cancelled = flag ? PyObject_IsTrue(flag.get()) : -1;
  if (is_cancelled != 0) return is_cancelled < 0 ? -1 : 0;
  PyRef call = get(state, handle, callback);
  PyRef call_args = call ? get(state, handle, args) : PyRef();
  PyRef call_context = call_args ? get(state, handle, context) : PyRef();
  PyRef owner = call_context ? get(state, handle, loop) : PyRef();
  PyRef stack = owner ? get(state, handle, source_traceback) : PyRef();
  if (!stack) return -1;
  if (!PyTuple_Check(call_args.get())) {
    // Arguments someone replaced by another iterable: asyncio's own _run
    // (the lock is re-entrant).
    PyRef done = PyRef::steal(PyObject_CallMethod(handle, "_run", nullptr));
    return done ? 0 : -1;
  }
  return run_callback(state, handle, owner.get(), call.get(), call_args.get(), call_context.get(),
                      stack.get() == Py_None ? nullptr : stack.get());
}

}  // namespace

bool init_threadsafe_handles(ModuleState& state) {
  PyObject* type = state.threadsafe_handle;
  for (int slot = 0; slot < slot_count; ++slot) {
    PyObject* descriptor = PyObject_GetAttrString(type, slot_names[slot]);
    if (descriptor == nullptr) return false;
    state.threadsafe_slots[slot] = descriptor;
    if (!Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
      PyErr_Format(PyExc_ImportError, "asyncio's _ThreadSafeHandle.%s is not a slot",
                   slot_names[slot]);
      return false;
    }
  }
  PyRef thread = PyRef::steal(PyImport_ImportModule("_thread"));
  state.new_lock = thread ? PyObject_GetAttrString(thread.get(), "RLock") : nullptr;
  return state.new_lock != nullptr;
}

PyRef make_threadsafe_handle(ModuleState& state, PyObject* owner, PyObject* call,
                             PyObject* call_args, PyObject* call_context) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state.threadsafe_handle);
  PyRef handle = PyRef::steal(type->tp_alloc(type, 0));
  if (!handle) return {};
  PyRef copied = call_context != nullptr && call_context != Py_None
                     ? PyRef::borrow(call_context)
                     : PyRef::steal(PyContext_CopyCurrent());
  PyRef new_handle_lock = copied ? PyRef::steal(PyObject_CallNoArgs(state.new_lock)) : PyRef();
  PyObject* object = handle.get();
  if (!new_handle_lock || !set(state, object, context, copied.get()) || !set(state, object, loop, owner) ||
      !set(state, object, callback, call) || !set(state, object, args, call_args) ||
      !set(state, object, cancelled, Py_False) || !set(state, object, repr, Py_None) ||
      !set(state, object, source_traceback, Py_None) || !set(state, object, lock, new_handle_lock.get())) {
    return {};
  }
  return handle;
}

bool is_threadsafe_handle(ModuleState& state, PyObject* handle) {
  return Py_IS_TYPE(handle, reinterpret_cast<PyTypeObject*>(state.threadsafe_handle));
}

int run_threadsafe_handle(ModuleState& state, PyObject* handle) {
  PyRef handle_lock = get(state, handle, lock);
  if (!handle_lock) return -1;
  if (!PyRef::steal(PyObject_CallMethodNoArgs(handle_lock.get(), state.names.acquire))) return -1;
  const int status = run_locked(state, handle);
  // Released whatever the run did, keeping its error.
  PyObject* failure = status < 0 ? PyErr_GetRaisedException() : nullptr;
  if (!PyRef::steal(PyObject_CallMethodNoArgs(handle_lock.get(), state.names.release))) {
    if (failure != nullptr) {
      PyObject* later = PyErr_GetRaisedException();
      PyException_SetContext(later, failure);  // steals `failure`
      PyErr_SetRaisedException(later);
    }
    return -1;
  }
  if (failure != nullptr) PyErr_SetRaisedException(failure);
  return status;
}

}  // namespace velkorio
