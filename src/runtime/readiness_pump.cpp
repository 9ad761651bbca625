#include "runtime/readiness_pump.h"

#include <cerrno>
#include <fcntl.h>

#include "runtime/os_error.h"

namespace velkor::rt {

namespace {
int duplicate(int fd) {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) throw RuntimeBuildError(os_error_text(errno));
  return copy;
}
}  // namespace

ReadinessPump::ReadinessPump(asio::io_context& io, std::shared_ptr<Poller> poller)
    : poller_(std::move(poller)), descriptor_(io, duplicate(poller_->epoll_fd())) {}

void ReadinessPump::arm() {
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this](const std::error_code& error) {
                           if (error) return;  // shutting down
                           try {
                             drain();
                           } catch (...) {
                             arm();  // whatever failed, readiness keeps flowing
                             throw;
                           }
                           arm();
                           drain();
                         });
}

void ReadinessPump::drain() {
  while (poller_->harvest() == Poller::batch) {
  }
}

}  // namespace velkor::rt
