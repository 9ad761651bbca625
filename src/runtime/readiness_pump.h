#pragma once
// Drives a Poller from the runtime's worker threads.

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <memory>
#include <mutex>

#include "runtime/poll_gate.h"
#include "runtime/readiness.h"

namespace velkor::rt {

// Asio waits, edge-triggered, for the epoll descriptor to become readable,
// and a worker then harvests it.
//
// The hand-over is race-free because the pump re-arms its wait *before* it
// harvests for the last time. An event that the final harvest does not see
// was queued after that harvest looked, hence after the wait was armed; the
// kernel then signals the epoll descriptor anew and Asio completes the armed
// wait. Asio drops an edge that arrives while no wait is armed, and the
// harvest after arming is what makes up for that. A spurious completion only
// costs a harvest that finds nothing. Completions run one at a time.
//
// While the loop's thread owns the poller (see PollGate), a completion
// neither harvests nor re-arms, and takes the descriptor out of Asio's
// reactor; resume() puts it back and starts the pump again.
class ReadinessPump {
 public:
  // Throws RuntimeBuildError when the epoll descriptor cannot be duplicated.
  ReadinessPump(asio::io_context& io, std::shared_ptr<Poller> poller, PollGate& gate);
  ~ReadinessPump();
  ReadinessPump(const ReadinessPump&) = delete;
  ReadinessPump& operator=(const ReadinessPump&) = delete;

  // Starts waiting; called once, then by each completion.
  void arm();

  // Harvests and re-arms on a worker: for the thread that handed the poller
  // back and found the pump parked.
  void resume();

 private:
  void drain();
  void on_ready();

  asio::io_context& io_;
  std::shared_ptr<Poller> poller_;
  PollGate& gate_;
  std::mutex serial_;
  int fd_;  // the duplicate of the epoll descriptor, owned here while parked
  asio::posix::stream_descriptor descriptor_;
};

}  // namespace velkor::rt
