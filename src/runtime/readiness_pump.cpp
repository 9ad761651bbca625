#include "runtime/readiness_pump.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <asio/post.hpp>

#include "runtime/os_error.h"

namespace velkor::rt {

namespace {
int duplicate(int fd) {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) throw RuntimeBuildError(os_error_text(errno));
  return copy;
}
}  // namespace

ReadinessPump::ReadinessPump(asio::io_context& io, std::shared_ptr<Poller> poller,
                             PollGate& gate)
    : io_(io),
      poller_(std::move(poller)),
      gate_(gate),
      fd_(duplicate(poller_->epoll_fd())),
      descriptor_(io, fd_) {}

ReadinessPump::~ReadinessPump() {
  if (!descriptor_.is_open()) close(fd_);
}

void ReadinessPump::arm() {
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this](const std::error_code& error) {
                           if (!error) on_ready();  // else shutting down
                         });
}

void ReadinessPump::on_ready() {
  // One completion at a time: the descriptor object is not thread-safe, and
  // a resume() posted the moment a parking completion marked the pump
  // parked must not touch it before that completion has taken it out.
  std::lock_guard<std::mutex> serial(serial_);
  if (!descriptor_.is_open()) descriptor_.assign(fd_);  // resumed after a park
  if (!gate_.worker_enter()) {
    // Parked: the loop's thread owns the poller. Out of the reactor's epoll
    // set meanwhile, or every event would still wake a worker for nothing.
    fd_ = descriptor_.release();
    return;
  }
  struct Leave {
    PollGate& gate;
    ~Leave() { gate.worker_leave(); }
  } leave{gate_};
  try {
    drain();
  } catch (...) {
    arm();  // whatever failed, readiness keeps flowing
    throw;
  }
  arm();
  drain();
}

void ReadinessPump::resume() {
  // A parked pump has no wait armed: on_ready() arms the one it needs.
  asio::post(io_, [this] { on_ready(); });
}

void ReadinessPump::drain() {
  while (poller_->harvest() == Poller::batch) {
  }
}

}  // namespace velkor::rt
