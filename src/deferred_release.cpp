#include "deferred_release.h"

#include <mutex>
#include <vector>

namespace velkor::deferred {

namespace {
std::mutex list_mutex;
std::vector<PyObject*>& list() {
  static std::vector<PyObject*> objects;  // leaked at exit on purpose
  return objects;
}
}  // namespace

std::atomic<bool> detail::pending{false};

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
