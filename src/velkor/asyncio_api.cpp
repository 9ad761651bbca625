#include "asyncio_api.h"

namespace velkor::asyncio {

namespace {

struct Names {
  PyObject* asyncio;
  PyObject* events;
  PyObject* Handle;
  PyObject* TimerHandle;
  PyObject* Task;
  PyObject* get_running_loop;
  PyObject* _set_running_loop;
  PyObject* _get_running_loop;
  PyObject* isfuture;
  PyObject* add_done_callback;
  PyObject* result;
  PyObject* _run;
  PyObject* cancelled;
  PyObject* _cancelled;
  PyObject* kw_loop;          // ("loop",)
  PyObject* kw_loop_context;  // ("loop", "context")
  PyObject* kw_task[8];       // by bits: 1 name, 2 context, 4 loop
};

// Interned for the life of the process: the module is never unloaded.
Names names;

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

// A module as the import system gives it, waiting for an import of it in
// progress on another thread. sys.modules alone cannot tell: it lists a
// module from the start of its import. The import machinery is slow, so a
// module it has handed out once is afterwards taken from sys.modules while
// the same object is still there.
struct ModuleLookup {
  PyObject* name;
  PyObject* seen = nullptr;  // kept for the process

  PyRef get() {
    PyObject* modules = PyImport_GetModuleDict();
    if (seen != nullptr && PyDict_Check(modules)) {
      PyObject* found = nullptr;
      if (PyDict_GetItemRef(modules, name, &found) < 0) return PyRef();
      if (found == seen) return PyRef::steal(found);
      Py_XDECREF(found);
    }
    PyRef imported = PyRef::steal(PyImport_Import(name));
    if (imported && imported.get() != seen) {
      Py_XDECREF(seen);
      seen = imported.share().release();
    }
    return imported;
  }
};

ModuleLookup asyncio_module;
ModuleLookup events_module;

// asyncio and the classes the loop calls on every scheduling call, kept
// between calls while nothing could have changed them: a dict watcher on
// sys.modules and on asyncio's namespace drops the cache at any change to
// either (an import, a patched attribute). Without a watcher (all taken)
// every call looks them up.
struct ClassCache {
  bool valid = false;
  int watcher = -1;      // -2: none could be had
  PyObject* module = nullptr;  // strong references, replaced on refill
  PyObject* classes[3] = {};   // Handle, TimerHandle, Task

  static int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*);

  // asyncio's class `index`, from the cache when asyncio is its module.
  PyRef get(PyObject* asyncio, int index, PyObject* name) {
    if (valid && asyncio == module) return PyRef::borrow(classes[index]);
    return PyRef::steal(PyObject_GetAttr(asyncio, name));
  }

  // Fills the cache from `asyncio`, the module the import system gave.
  void fill(PyObject* asyncio) {
    if (watcher == -2) return;
    if (watcher == -1) {
      watcher = PyDict_AddWatcher(on_change);
      if (watcher < 0) {
        PyErr_Clear();
        watcher = -2;
        return;
      }
    }
    PyObject* namespace_dict = PyModule_Check(asyncio) ? PyModule_GetDict(asyncio) : nullptr;
    PyObject* modules = PyImport_GetModuleDict();
    if (namespace_dict == nullptr || !PyDict_Check(modules) ||
        PyDict_Watch(watcher, modules) < 0 || PyDict_Watch(watcher, namespace_dict) < 0) {
      PyErr_Clear();
      return;
    }
    PyObject* found[3] = {};
    PyObject* const wanted[3] = {names.Handle, names.TimerHandle, names.Task};
    for (int i = 0; i < 3; ++i) {
      found[i] = PyObject_GetAttr(asyncio, wanted[i]);
      if (found[i] == nullptr) {
        PyErr_Clear();
        for (PyObject* object : found) Py_XDECREF(object);
        return;
      }
    }
    Py_XSETREF(module, Py_NewRef(asyncio));
    for (int i = 0; i < 3; ++i) Py_XSETREF(classes[i], found[i]);
    valid = true;
  }
};

ClassCache class_cache;

int ClassCache::on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  class_cache.valid = false;
  return 0;
}

// Types for which a fact was checked once, each at the version tag it had
// then: the tag changes with any change to the type or its bases, and a
// type whose tag moved is checked again.
template <int N>
struct CheckedTypes {
  PyTypeObject* types[N] = {};
  unsigned int versions[N] = {};

  bool holds(PyTypeObject* type) const {
    for (int i = 0; i < N; ++i) {
      if (types[i] == type && versions[i] == type->tp_version_tag && versions[i] != 0) return true;
    }
    return false;
  }

  // Remembers `type` (in the slot it had, else the next one, round robin);
  // false when the type cannot have a version tag.
  bool remember(PyTypeObject* type) {
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return false;
    int slot = next_;
    for (int i = 0; i < N; ++i) {
      if (types[i] == type) slot = i;
    }
    if (slot == next_) next_ = (next_ + 1) % N;
    types[slot] = type;
    versions[slot] = type->tp_version_tag;
    return true;
  }

 private:
  int next_ = 0;
};

// asyncio's own Handle and TimerHandle take `loop` and `context` by
// position as well as by keyword, and a keyword call of a Python class costs
// a dict on each call (about 190 ns of a callback's budget). For the stock
// class, as first met and unchanged since (its version tag moves with any
// change to the class), the positional call is the same call.
struct StockClass {
  explicit StockClass(const char* name) : name(name) {}
  const char* name;
  // The class as first met; its reference is kept for the process.
  CheckedTypes<1> stock;
  bool looked = false;

  bool is(PyObject* candidate) {
    if (!looked) capture();
    return PyType_Check(candidate) && stock.holds(reinterpret_cast<PyTypeObject*>(candidate));
  }

  void capture() {
    looked = true;
    PyRef events = events_module.get();
    PyRef found = events ? PyRef::steal(PyObject_GetAttrString(events.get(), name)) : PyRef();
    if (!found || !PyType_Check(found.get())) {
      PyErr_Clear();
      return;
    }
    if (stock.remember(reinterpret_cast<PyTypeObject*>(found.get()))) (void)found.release();
  }
};

StockClass stock_handle("Handle");
StockClass stock_timer_handle("TimerHandle");

}  // namespace

bool init() {
  if (names.asyncio != nullptr) return true;
  Names n{};
  n.asyncio = intern("asyncio");
  n.events = intern("asyncio.events");
  n.Handle = intern("Handle");
  n.TimerHandle = intern("TimerHandle");
  n.Task = intern("Task");
  n.get_running_loop = intern("get_running_loop");
  n._set_running_loop = intern("_set_running_loop");
  n._get_running_loop = intern("_get_running_loop");
  n.isfuture = intern("isfuture");
  n.add_done_callback = intern("add_done_callback");
  n.result = intern("result");
  n._run = intern("_run");
  n.cancelled = intern("cancelled");
  n._cancelled = intern("_cancelled");
  PyObject* loop = intern("loop");
  PyObject* context = intern("context");
  PyObject* name = intern("name");
  if (PyErr_Occurred()) return false;
  n.kw_loop = PyTuple_Pack(1, loop);
  n.kw_loop_context = PyTuple_Pack(2, loop, context);
  for (int bits = 0; bits < 8; ++bits) {
    PyObject* items[3];
    Py_ssize_t count = 0;
    if (bits & 1) items[count++] = name;
    if (bits & 2) items[count++] = context;
    if (bits & 4) items[count++] = loop;
    n.kw_task[bits] = PyTuple_New(count);
    if (n.kw_task[bits] == nullptr) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyTuple_SET_ITEM(n.kw_task[bits], i, Py_NewRef(items[i]));
    }
  }
  if (n.kw_loop == nullptr || n.kw_loop_context == nullptr) return false;
  names = n;
  asyncio_module.name = n.asyncio;
  events_module.name = n.events;
  return true;
}

PyRef import_asyncio() {
  if (class_cache.valid) return PyRef::borrow(class_cache.module);
  PyRef asyncio = asyncio_module.get();
  if (asyncio) class_cache.fill(asyncio.get());
  return asyncio;
}
PyRef import_events() {
  // The package first: importing a submodule while another thread imports
  // the package can deadlock the import locks (asyncio's __init__ imports
  // its submodules), and the package's import waits for the other thread's.
  if (!import_asyncio()) return PyRef();
  return events_module.get();
}

namespace {

// Calls a handle class with `argv` = {slot, leading arguments..., loop,
// context}: loop and context by position for the stock class, by keyword
// otherwise; a null context is left out.
PyRef call_handle_class(StockClass& stock, PyObject* type, PyObject** argv, std::size_t leading,
                        PyObject* context) {
  const std::size_t offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
  if (stock.is(type)) {
    const std::size_t count = leading + 1 + (context != nullptr ? 1 : 0);
    return PyRef::steal(PyObject_Vectorcall(type, argv + 1, count | offset, nullptr));
  }
  PyObject* kwnames = context != nullptr ? names.kw_loop_context : names.kw_loop;
  return PyRef::steal(PyObject_Vectorcall(type, argv + 1, leading | offset, kwnames));
}

}  // namespace

PyRef new_handle(PyObject* asyncio, PyObject* callback, PyObject* args, PyObject* loop,
                 PyObject* context) {
  PyRef type = class_cache.get(asyncio, 0, names.Handle);
  if (!type) return type;
  PyObject* argv[] = {nullptr, callback, args, loop, context};
  return call_handle_class(stock_handle, type.get(), argv, 2, context);
}

PyRef new_timer_handle(PyObject* asyncio, double when, PyObject* callback, PyObject* args,
                       PyObject* loop, PyObject* context) {
  PyRef type = class_cache.get(asyncio, 1, names.TimerHandle);
  if (!type) return type;
  PyRef when_object = PyRef::steal(PyFloat_FromDouble(when));
  if (!when_object) return when_object;
  PyObject* argv[] = {nullptr, when_object.get(), callback, args, loop, context};
  return call_handle_class(stock_timer_handle, type.get(), argv, 3, context);
}

PyRef new_task(PyObject* asyncio, PyObject* coro, PyObject* name, PyObject* context,
               PyObject* loop) {
  PyRef type = class_cache.get(asyncio, 2, names.Task);
  if (!type) return type;
  PyObject* argv[5] = {nullptr, coro};
  int bits = 0;
  Py_ssize_t count = 2;
  if (name != nullptr) {
    argv[count++] = name;
    bits |= 1;
  }
  if (context != nullptr) {
    argv[count++] = context;
    bits |= 2;
  }
  if (loop != nullptr) {
    argv[count++] = loop;
    bits |= 4;
  }
  return PyRef::steal(PyObject_Vectorcall(type.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          names.kw_task[bits]));
}

bool is_running_loop(PyObject* asyncio, PyObject* loop) {
  PyObject* argv[] = {asyncio};
  PyRef running = PyRef::steal(PyObject_VectorcallMethod(
      names.get_running_loop, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!running) {
    PyErr_Clear();
    return false;
  }
  return running.get() == loop;
}

bool set_running_loop(PyObject* events, PyObject* loop) {
  PyObject* function = nullptr;
  if (PyObject_GetOptionalAttr(events, names._set_running_loop, &function) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (function == nullptr) return true;
  PyRef owned = PyRef::steal(function);
  PyRef result = PyRef::steal(PyObject_CallOneArg(owned.get(), loop));
  return static_cast<bool>(result);
}

PyRef running_loop(PyObject* events) {
  PyObject* function = nullptr;
  if (PyObject_GetOptionalAttr(events, names._get_running_loop, &function) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyRef();
    PyErr_Clear();
  }
  if (function == nullptr) return PyRef::borrow(Py_None);
  PyRef owned = PyRef::steal(function);
  return PyRef::steal(PyObject_CallNoArgs(owned.get()));
}

int is_future(PyObject* asyncio, PyObject* object) {
  PyObject* argv[] = {asyncio, object};
  PyRef answer = PyRef::steal(
      PyObject_VectorcallMethod(names.isfuture, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!answer) return -1;
  return PyObject_IsTrue(answer.get());
}

bool add_done_callback(PyObject* future, PyObject* callback) {
  PyObject* argv[] = {future, callback};
  PyRef answer = PyRef::steal(PyObject_VectorcallMethod(
      names.add_done_callback, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return static_cast<bool>(answer);
}

PyRef result(PyObject* future) {
  PyObject* argv[] = {future};
  return PyRef::steal(
      PyObject_VectorcallMethod(names.result, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

// asyncio's own Handle.cancelled() only returns `self._cancelled`. For a type
// whose `cancelled` is still that function, reading the attribute gives the
// same answer without a Python call per callback. The function is taken at
// first use; a type is trusted while its version tag (which changes with
// any change to the type or its bases) stays the same.
struct CancelledShortcut {
  PyObject* stock = nullptr;  // asyncio.events.Handle.cancelled, kept for the process
  CheckedTypes<2> trusted;

  // Whether `type` can take the shortcut; remembers the answer when it can.
  bool check(PyTypeObject* type) {
    if (trusted.holds(type)) return true;
    if (stock == nullptr && !load_stock()) return false;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(type), names.cancelled, &found) < 0) {
      PyErr_Clear();
      return false;
    }
    const bool same = found == stock;
    Py_XDECREF(found);
    return same && trusted.remember(type);
  }

  bool load_stock() {
    PyRef events = events_module.get();
    PyRef handle_type = events ? PyRef::steal(PyObject_GetAttr(events.get(), names.Handle)) : PyRef();
    PyRef function =
        handle_type ? PyRef::steal(PyObject_GetAttr(handle_type.get(), names.cancelled)) : PyRef();
    if (!function) {
      PyErr_Clear();
      return false;
    }
    stock = function.release();
    return true;
  }
};

CancelledShortcut cancelled_shortcut;

}  // namespace

// 1 when the handle says it is cancelled, 0 when not (or it has no
// `cancelled`), -1 with an exception set.
static int is_cancelled(PyObject* handle) {
  if (cancelled_shortcut.check(Py_TYPE(handle))) {
    PyRef flag = PyRef::steal(PyObject_GetAttr(handle, names._cancelled));
    if (!flag) return -1;
    if (flag.get() == Py_True) return 1;
    if (flag.get() == Py_False) return 0;
    return PyObject_IsTrue(flag.get());
  }
  PyObject* argv[] = {handle};
  PyRef answer = PyRef::steal(
      PyObject_VectorcallMethod(names.cancelled, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (answer) return PyObject_IsTrue(answer.get());
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

bool run_handle(PyObject* handle) {
  const int cancelled = is_cancelled(handle);
  if (cancelled != 0) return cancelled > 0;
  PyObject* argv[] = {handle};
  PyRef done = PyRef::steal(
      PyObject_VectorcallMethod(names._run, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return static_cast<bool>(done);
}

}  // namespace velkor::asyncio
