#include "runtime/park.h"

#include <cerrno>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velkor::rt {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

namespace {
std::uint32_t* futex_word(std::atomic<std::uint32_t>& word) {
  return reinterpret_cast<std::uint32_t*>(&word);
}
}  // namespace

bool park_while(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  return syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0) <
             0 &&
         errno == EINTR;
}

void unpark_one(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace velkor::rt
