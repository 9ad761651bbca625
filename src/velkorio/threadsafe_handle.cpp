#include "threadsafe_handle.h"

#include <array>

#include "asyncio_refs.h"
#include "handle.h"

namespace velkorio {
namespace {

using velkor::PyRef;

// The slots of asyncio's Handle, and _ThreadSafeHandle's own, by their
// member descriptors: looked up once, kept for the life of the process.
enum Slot { callback, args, cancelled, loop, source_traceback, repr, context, lock, slot_count };
constexpr std::array<const char*, slot_count> slot_names = {
    "_callback", "_args", "_cancelled", "_loop", "_source_traceback", "_repr", "_context", "_lock"};
std::array<PyObject*, slot_count> descriptors{};

PyObject* new_lock = nullptr;  // _thread.RLock, what threading.RLock() returns
PyObject* acquire_name = nullptr;
PyObject* release_name = nullptr;

bool set(PyObject* handle, Slot slot, PyObject* value) {
  PyObject* descriptor = descriptors[slot];
  return Py_TYPE(descriptor)->tp_descr_set(descriptor, handle, value) == 0;
}

PyRef get(PyObject* handle, Slot slot) {
  PyObject* descriptor = descriptors[slot];
  return PyRef::steal(Py_TYPE(descriptor)->tp_descr_get(
      descriptor, handle, reinterpret_cast<PyObject*>(Py_TYPE(handle))));
}

// Handle._run, with the handle's lock held by the caller.
int run_locked(PyObject* handle) {
  PyRef flag = get(handle, cancelled);
  const int is_cancelled = flag ? PyObject_IsTrue(flag.get()) : -1;
  if (is_cancelled != 0) return is_cancelled < 0 ? -1 : 0;
  PyRef call = get(handle, callback);
  PyRef call_args = call ? get(handle, args) : PyRef();
  PyRef call_context = call_args ? get(handle, context) : PyRef();
  PyRef owner = call_context ? get(handle, loop) : PyRef();
  PyRef stack = owner ? get(handle, source_traceback) : PyRef();
  if (!stack) return -1;
  if (!PyTuple_Check(call_args.get())) {
    // Arguments someone replaced by another iterable: asyncio's own _run
    // (the lock is re-entrant).
    PyRef done = PyRef::steal(PyObject_CallMethod(handle, "_run", nullptr));
    return done ? 0 : -1;
  }
  return run_callback(handle, owner.get(), call.get(), call_args.get(), call_context.get(),
                      stack.get() == Py_None ? nullptr : stack.get());
}

}  // namespace

bool init_threadsafe_handles() {
  if (new_lock != nullptr) return true;
  PyObject* type = asyncio_refs::threadsafe_handle;
  for (int slot = 0; slot < slot_count; ++slot) {
    PyObject* descriptor = PyObject_GetAttrString(type, slot_names[slot]);
    if (descriptor == nullptr) return false;
    descriptors[slot] = descriptor;
    if (!Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
      PyErr_Format(PyExc_ImportError, "asyncio's _ThreadSafeHandle.%s is not a slot",
                   slot_names[slot]);
      return false;
    }
  }
  acquire_name = PyUnicode_InternFromString("acquire");
  release_name = acquire_name ? PyUnicode_InternFromString("release") : nullptr;
  PyRef thread = release_name ? PyRef::steal(PyImport_ImportModule("_thread")) : PyRef();
  new_lock = thread ? PyObject_GetAttrString(thread.get(), "RLock") : nullptr;
  return new_lock != nullptr;
}

PyRef make_threadsafe_handle(PyObject* owner, PyObject* call, PyObject* call_args,
                             PyObject* call_context) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(asyncio_refs::threadsafe_handle);
  PyRef handle = PyRef::steal(type->tp_alloc(type, 0));
  if (!handle) return {};
  PyRef copied = call_context != nullptr && call_context != Py_None
                     ? PyRef::borrow(call_context)
                     : PyRef::steal(PyContext_CopyCurrent());
  PyRef new_handle_lock = copied ? PyRef::steal(PyObject_CallNoArgs(new_lock)) : PyRef();
  PyObject* object = handle.get();
  if (!new_handle_lock || !set(object, context, copied.get()) || !set(object, loop, owner) ||
      !set(object, callback, call) || !set(object, args, call_args) ||
      !set(object, cancelled, Py_False) || !set(object, repr, Py_None) ||
      !set(object, source_traceback, Py_None) || !set(object, lock, new_handle_lock.get())) {
    return {};
  }
  return handle;
}

bool is_threadsafe_handle(PyObject* handle) {
  return Py_IS_TYPE(handle, reinterpret_cast<PyTypeObject*>(asyncio_refs::threadsafe_handle));
}

int run_threadsafe_handle(PyObject* handle) {
  PyRef handle_lock = get(handle, lock);
  if (!handle_lock) return -1;
  if (!PyRef::steal(PyObject_CallMethodNoArgs(handle_lock.get(), acquire_name))) return -1;
  const int status = run_locked(handle);
  // Released whatever the run did, keeping its error.
  PyObject* failure = status < 0 ? PyErr_GetRaisedException() : nullptr;
  if (!PyRef::steal(PyObject_CallMethodNoArgs(handle_lock.get(), release_name))) {
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
