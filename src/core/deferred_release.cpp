#include "core/deferred_release.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
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

// Where releases go while the list cannot grow (out of memory): a worker
// must not fail here, and what lands here is released like the rest.
constexpr std::size_t spare_size = 4096;
PyObject* spare[spare_size];
std::size_t spare_used = 0;  // guarded by list_mutex
}  // namespace

std::atomic<bool> detail::pending{false};
thread_local bool detail::defer_here = false;

void release_later(PyObject* object) noexcept {
  std::lock_guard<std::mutex> lock(list_mutex);
  try {
    list().push_back(object);
  } catch (const std::bad_alloc&) {
    if (spare_used < spare_size) {
      spare[spare_used++] = object;
    } else {
      // Both full: the object stays alive for good, which is safe.
      std::fputs("velkor: out of memory; a Python reference is kept for good\n", stderr);
    }
  }
  detail::pending.store(true, std::memory_order_release);
}

void detail::release_pending() {
  std::vector<PyObject*> batch;
  PyObject* spilled[spare_size];
  for (;;) {
    std::size_t spilled_count = 0;
    {
      std::lock_guard<std::mutex> lock(list_mutex);
      if (list().empty() && spare_used == 0) {
        pending.store(false, std::memory_order_relaxed);
        return;
      }
      batch.swap(list());
      spilled_count = std::exchange(spare_used, 0);
      std::copy_n(spare, spilled_count, spilled);
    }
    for (PyObject* object : batch) Py_DECREF(object);
    for (std::size_t i = 0; i < spilled_count; ++i) Py_DECREF(spilled[i]);
    batch.clear();
  }
}

}  // namespace velkor::deferred
