#include "runtime/wake_fd.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "runtime/os_error.h"

namespace velkor::rt {

WakeFd::WakeFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw RuntimeBuildError(os_error_text(errno));
}

WakeFd::~WakeFd() { close(fd_); }

void WakeFd::signal() noexcept {
  const std::uint64_t one = 1;
  // Only EAGAIN can fail it (the counter is near overflow): then a wake-up
  // is pending anyway.
  [[maybe_unused]] const auto written = write(fd_, &one, sizeof one);
}

WakeFd::Woke WakeFd::sleep(const sigset_t* mask) noexcept {
  pollfd entry{fd_, POLLIN, 0};
  const int ready = ppoll(&entry, 1, nullptr, mask);
  const bool interrupted = ready < 0 && errno == EINTR;
  std::uint64_t count = 0;
  // Resets the counter; a wake-up that races with this read is a spurious
  // return at worst, never a lost one, since callers re-check.
  [[maybe_unused]] const auto read_back = read(fd_, &count, sizeof count);
  return interrupted ? Woke::interrupted : Woke::signalled;
}

}  // namespace velkor::rt
