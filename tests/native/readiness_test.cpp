#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

#include "native_test.h"
#include "runtime/readiness.h"

using velkor::rt::Direction;
using velkor::rt::Poller;
using velkor::rt::ReadyWaiter;
using velkor::rt::Registration;
namespace readiness = velkor::rt::readiness;

namespace {
struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) std::abort();
    r = fds[0];
    w = fds[1];
  }
  ~Pipe() {
    close(r);
    close(w);
  }
};

struct Flag : ReadyWaiter {
  std::atomic<int> woken{0};
  void on_ready() override { ++woken; }
};

void drain(Poller& poller) {
  while (poller.harvest() > 0) {
  }
}
}  // namespace

TEST(a_parked_reader_is_resumed_by_the_event_that_completes_it) {
  auto poller = Poller::create();
  Pipe pipe;
  int error = 0;
  auto registration = poller->acquire(pipe.r, error);
  CHECK(registration && error == 0);
  auto waiter = std::make_shared<Flag>();
  std::atomic<bool> cancelled{false};
  std::uint64_t observed = 0;
  drain(*poller);
  CHECK(registration->wait(Direction::read, 0, cancelled, waiter, observed) ==
        Registration::Wait::parked);
  CHECK(write(pipe.w, "x", 1) == 1);
  drain(*poller);
  CHECK(waiter->woken == 1);
  CHECK(registration->wait(Direction::read, 0, cancelled, waiter, observed) ==
        Registration::Wait::ready);
  CHECK(observed & readiness::readable);
}

TEST(clearing_keeps_a_flag_that_a_newer_event_set) {
  auto poller = Poller::create();
  Pipe pipe;
  int error = 0;
  auto registration = poller->acquire(pipe.r, error);
  CHECK(write(pipe.w, "x", 1) == 1);
  drain(*poller);
  const std::uint64_t seen = registration->state();
  CHECK(seen & readiness::readable);
  CHECK(write(pipe.w, "y", 1) == 1);  // a newer event before the clear
  drain(*poller);
  registration->clear_ready(Direction::read, seen);
  CHECK(registration->state() & readiness::readable);
  registration->clear_ready(Direction::read, registration->state());
  CHECK(!(registration->state() & readiness::readable));
}

TEST(a_closed_condition_completes_one_wait_per_event) {
  auto poller = Poller::create();
  int fds[2];
  CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0);
  int error = 0;
  auto registration = poller->acquire(fds[0], error);
  close(fds[1]);
  drain(*poller);
  auto waiter = std::make_shared<Flag>();
  std::atomic<bool> cancelled{false};
  std::uint64_t observed = 0;
  CHECK(registration->wait(Direction::read, 0, cancelled, waiter, observed) ==
        Registration::Wait::ready);
  CHECK(observed & readiness::read_closed);
  registration->clear_ready(Direction::read, observed);
  // Reported once: with no newer event the next wait parks.
  CHECK(registration->wait(Direction::read, readiness::tick(observed), cancelled, waiter,
                           observed) == Registration::Wait::parked);
  CHECK(registration->unpark(Direction::read, waiter.get()) == waiter);
  close(fds[0]);
}

TEST(a_cancelled_or_shut_down_wait_never_parks) {
  auto poller = Poller::create();
  Pipe pipe;
  int error = 0;
  auto registration = poller->acquire(pipe.r, error);
  drain(*poller);
  auto waiter = std::make_shared<Flag>();
  std::atomic<bool> cancelled{true};
  std::uint64_t observed = 0;
  CHECK(registration->wait(Direction::read, 0, cancelled, waiter, observed) ==
        Registration::Wait::cancelled);
  cancelled = false;
  CHECK(registration->wait(Direction::read, 0, cancelled, waiter, observed) ==
        Registration::Wait::parked);
  poller->shut_down();
  CHECK(waiter.use_count() == 1);  // the poller let go of it
  CHECK(registration->wait(Direction::read, 0, cancelled, waiter, observed) ==
        Registration::Wait::shut_down);
  CHECK(!poller->acquire(pipe.w, error) && error == 0);
}

TEST(registrations_are_shared_per_descriptor_and_renewed_after_release) {
  auto poller = Poller::create();
  Pipe pipe;
  int error = 0;
  auto first = poller->acquire(pipe.r, error);
  auto second = poller->acquire(pipe.r, error);
  CHECK(first && first == second);
  first.reset();
  second.reset();
  auto third = poller->acquire(pipe.r, error);
  CHECK(third && error == 0);
}

TEST(refused_registrations_report_the_os_error) {
  auto poller = Poller::create();
  int error = 0;
  CHECK(!poller->acquire(-1, error) && error == EBADF);
  const int file = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  CHECK(file >= 0);
  CHECK(!poller->acquire(file, error) && error == EPERM);
  close(file);
  Pipe pipe;
  const int closed = pipe.r;
  auto registration = poller->acquire(dup(closed), error);  // leaves `closed` unregistered
  CHECK(registration);
}
