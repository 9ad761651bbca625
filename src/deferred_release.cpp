#include "deferred_release.h"

#include <memory>
#include <mutex>
#include <vector>

namespace velkor::deferred {

namespace {
std::mutex list_mutex;
// Never destroyed: worker threads of loops still alive at exit may push
// after static destructors have run.
alignas(std::vector<PyObject*>) unsigned char list_storage[sizeof(std::vector<PyObject*>)];
std::vector<PyObject*>& list() {
  static std::vector<PyObject*>* objects = std::construct_at(
      reinterpret_cast<std::vector<PyObject*>*>(list_storage));
  return *objects;
}
}  // namespace

std::atomic<bool> detail::pending{false};
thread_local bool detail::defer_here = false;

void release_later(PyObject* object) noexcept {
  std::lock_guard<std::mutex> lock(list_mutex);
  list().push_back(object);
  detail::pending.store(true, std::memory_order_release);
}

void detail::release_pending() {
  std::vector<PyObject*> batch;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(list_mutex);
      if (list().empty()) {
        pending.store(false, std::memory_order_relaxed);
        return;
      }
      batch.swap(list());
    }
    for (PyObject* object : batch) Py_DECREF(object);
    batch.clear();
  }
}

}  // namespace velkor::deferred
