#include "malloc_thresholds.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace velkorio {
namespace {

// glibc raises its mmap threshold to the freed block's size and its trim
// threshold to twice that: 1 MiB and 2 MiB. 1 MiB was the smallest trim
// threshold that took the page faults out of a 100 KiB streams echo.
constexpr std::size_t block_size = 1024 * 1024;

std::atomic<bool> raised{false};

}  // namespace

bool malloc_thresholds_raised() { return raised.load(std::memory_order_relaxed); }

PyObject* raise_malloc_thresholds(PyObject*, PyObject*) {
#ifdef __GLIBC__
  static std::once_flag once;
  std::call_once(once, [] {
    // Through a volatile pointer, so that the compiler keeps the pair.
    void* volatile block = std::malloc(block_size);
    std::free(block);
    raised.store(true, std::memory_order_relaxed);
  });
#endif
  Py_RETURN_NONE;
}

}  // namespace velkorio
