#include "runtime/runtime.h"

#include <asio/executor_work_guard.hpp>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <system_error>
#include <unistd.h>

#include "runtime/os_error.h"
#include "runtime/readiness_pump.h"

namespace velkor::rt {

// ---- worker count

std::size_t worker_count_from_environment() {
  if (const char* value = std::getenv("TOKIO_WORKER_THREADS")) {
    const std::string text(value);
    std::size_t count = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    const auto [end, error] = std::from_chars(first, last, count);
    if (first == last || error != std::errc() || end != last) {
      throw WorkerCountError("TOKIO_WORKER_THREADS must be a positive whole number, got \"" +
                             text + "\"");
    }
    if (count == 0) throw WorkerCountError("TOKIO_WORKER_THREADS must not be 0");
    return count;
  }
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
    const int count = CPU_COUNT(&cpus);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

// ---- core and handle

RuntimeCore::RuntimeCore() : poller(Poller::create()) {
  pump = std::make_unique<ReadinessPump>(io, poller, gate);
  pump->arm();
  watchdog = std::make_unique<Watchdog>(io, gate, *pump);
}

void RuntimeHandle::resume_pump() const { core_->pump->resume(); }

RuntimeCore::~RuntimeCore() {
  watchdog.reset();
  pump.reset();
}

TimerQueue::Id RuntimeHandle::timer_id(std::chrono::steady_clock::time_point start,
                                        std::chrono::steady_clock::duration delay) const {
  using clock = std::chrono::steady_clock;
  const auto deadline =
      delay > clock::time_point::max() - start ? clock::time_point::max() : start + delay;
  return core_->timers.next_id(deadline);
}

// ---- runtime

namespace {
void run_worker(asio::io_context& io) {
  pthread_setname_np(pthread_self(), "velkor-worker");
  // Signals are the interpreter's business, on its own threads.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  // The C++ runtime's per-thread exception state lives in a dynamically
  // loaded library's thread-local block, which the C library allocates on
  // first use and aborts the process if it cannot: use it now, so that an
  // exception thrown here when memory runs short is only an exception.
  [[maybe_unused]] volatile int touched = std::uncaught_exceptions();
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "velkor: a runtime task failed on a worker thread: %s\n", error.what());
    } catch (...) {
      std::fprintf(stderr, "velkor: a runtime task failed on a worker thread\n");
    }
  }
}
}  // namespace

Runtime::Runtime(std::size_t workers) : core_(std::make_shared<RuntimeCore>()) {
  // The guard keeps run() from returning while there is nothing to do.
  auto guard = std::make_shared<asio::executor_work_guard<asio::io_context::executor_type>>(
      core_->io.get_executor());
  workers_.reserve(workers);
  try {
    for (std::size_t i = 0; i < workers; ++i) {
      workers_.emplace_back([io = &core_->io, guard] { run_worker(*io); });
    }
  } catch (const std::system_error& error) {
    const int code = error.code().value();
    guard.reset();  // before the io_context it refers to goes
    shut_down();
    throw RuntimeBuildError(os_error_text(code));
  }
}

Runtime::~Runtime() { shut_down(); }

void Runtime::shut_down() {
  if (!core_) return;
  core_->io.stop();
  for (auto& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
  core_->poller->shut_down();
  core_->timers.shut_down();
  core_.reset();
}

}  // namespace velkor::rt
