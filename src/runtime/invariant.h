#pragma once
// VELKOR_INVARIANT(condition, text): a check of something the code states
// in prose (a heap's indexes, a map's keys, who owns the poller). Debug and
// sanitizer builds check it and abort with the text and the place; release
// builds compile it away, condition and all, so it may cost what it needs.

#if defined(VELKOR_CHECK_INVARIANTS)
#include <cstdio>
#include <cstdlib>

namespace velkor::detail {
[[noreturn]] inline void invariant_failed(const char* text, const char* file, int line) noexcept {
  std::fprintf(stderr, "velkor: broken invariant at %s:%d: %s\n", file, line, text);
  std::fflush(stderr);
  std::abort();
}
}  // namespace velkor::detail

#define VELKOR_INVARIANT(condition, text)                                  \
  do {                                                                     \
    if (!(condition)) ::velkor::detail::invariant_failed(text, __FILE__, __LINE__); \
  } while (false)
#else
#define VELKOR_INVARIANT(condition, text) \
  do {                                    \
    if (false) static_cast<void>(condition); \
  } while (false)
#endif
