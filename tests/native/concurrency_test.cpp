// Concurrency tests for the runtime layer: many threads at once through the
// channel, the readiness poller and the timer queue. Built with
// ThreadSanitizer by `./dev tsan`.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#include "native_test.h"
#include "runtime/channel.h"
#include "runtime/runtime.h"
#include "runtime/timer_queue.h"
#include <asio/executor_work_guard.hpp>

using namespace std::chrono_literals;
using velkor::rt::Channel;
using velkor::rt::Direction;
using velkor::rt::ReadyWaiter;
using velkor::rt::Registration;
using velkor::rt::Runtime;

TEST(a_parking_receiver_misses_no_post_from_bursty_producers) {
  auto [sender, receiver] = Channel<int>::make();
  constexpr int producers = 4;
  constexpr int per_producer = 50000;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([tx = sender, p]() mutable {
      std::mt19937 rng(p);
      for (int i = 0; i < per_producer; ++i) {
        int value = i;
        if (!tx.try_post(std::move(value))) std::abort();
        if (rng() % 512 == 0) std::this_thread::sleep_for(50us);  // let the receiver park
      }
    });
  }
  sender.reset();
  int received = 0;
  while (receiver.recv()) ++received;
  for (auto& thread : threads) thread.join();
  CHECK(received == producers * per_producer);
}

namespace {
// A watch reduced to its bones: parks, counts wake-ups, re-parks.
struct CountingWatch : ReadyWaiter, std::enable_shared_from_this<CountingWatch> {
  std::shared_ptr<Registration> registration;
  std::atomic<bool> cancelled{false};
  std::atomic<int> wakes{0};
  int read_fd = -1;

  void on_ready() override { run(); }
  void run() {
    for (;;) {
      std::uint64_t observed = 0;
      auto outcome = registration->wait(Direction::read, 0, cancelled, shared_from_this(), observed);
      if (outcome != Registration::Wait::ready) return;
      char buffer[256];
      while (read(read_fd, buffer, sizeof buffer) > 0) {
      }
      ++wakes;
      registration->clear_ready(Direction::read, observed);
    }
  }
};
}  // namespace

TEST(watches_see_every_write_while_they_are_woken_and_cancelled_concurrently) {
  Runtime runtime(2);
  auto poller = runtime.handle().poller();
  constexpr int pipes = 4;
  std::vector<std::shared_ptr<CountingWatch>> watches;
  std::vector<int> write_ends;
  for (int i = 0; i < pipes; ++i) {
    int fds[2];
    CHECK(pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0);
    auto watch = std::make_shared<CountingWatch>();
    int error = 0;
    watch->registration = poller->acquire(fds[0], error);
    CHECK(watch->registration);
    watch->read_fd = fds[0];
    watches.push_back(watch);
    write_ends.push_back(fds[1]);
    runtime.handle().spawn([watch] { watch->run(); });
  }
  std::vector<std::thread> writers;
  for (int i = 0; i < pipes; ++i) {
    writers.emplace_back([fd = write_ends[i]] {
      for (int n = 0; n < 2000; ++n) {
        if (write(fd, "x", 1) != 1) std::abort();
        if (n % 8 == 0) std::this_thread::sleep_for(20us);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  // Every pipe ends drained by its watch: the last write was seen.
  std::this_thread::sleep_for(100ms);
  for (auto& watch : watches) {
    CHECK(watch->wakes > 0);
    char c;
    CHECK(read(watch->read_fd, &c, 1) == -1);  // nothing left unread
    watch->cancelled = true;
    watch->registration->unpark(Direction::read, watch.get());
  }
  runtime.shut_down();
  for (int i = 0; i < pipes; ++i) {
    close(watches[i]->read_fd);
    close(write_ends[i]);
  }
}

namespace {
// Two threads delivering a poller's events, as the runtime's workers do.
struct Deliverers {
  std::shared_ptr<velkor::rt::Poller> poller = velkor::rt::Poller::create();
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  Deliverers() {
    for (int i = 0; i < 2; ++i) {
      threads.emplace_back([this] {
        while (!stop) {
          velkor::rt::Poller::Events events;
          poller->wait(events, 10);
          poller->deliver(events);
        }
      });
    }
  }
  ~Deliverers() {
    stop = true;
    for (auto& thread : threads) thread.join();
  }
};
}  // namespace

TEST(timers_from_many_threads_all_fire_in_deadline_order_and_cancelled_ones_never) {
  Deliverers deliverers;
  velkor::rt::TimerQueue queue(*deliverers.poller);

  std::mutex mutex;
  std::vector<std::chrono::steady_clock::time_point> fired;
  std::atomic<int> count{0};
  std::atomic<int> cancelled_ran{0};
  constexpr int threads = 4;
  constexpr int per_thread = 2000;
  // Far enough ahead that every timer is in the queue before the first is due.
  const auto base = std::chrono::steady_clock::now() + 500ms;
  std::vector<std::thread> schedulers;
  for (int t = 0; t < threads; ++t) {
    schedulers.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < per_thread; ++i) {
        const auto deadline = base + std::chrono::microseconds(rng() % 20000);
        const auto id = queue.next_id(deadline);
        const bool cancel = i % 3 == 0;
        queue.schedule(id, velkor::rt::Task([&, deadline, cancel] {
                         if (cancel) ++cancelled_ran;
                         std::lock_guard<std::mutex> lock(mutex);
                         fired.push_back(deadline);
                         ++count;
                       }));
        if (cancel) queue.cancel(id);
      }
    });
  }
  for (auto& scheduler : schedulers) scheduler.join();
  CHECK(std::chrono::steady_clock::now() < base);
  constexpr int kept = threads * (per_thread - (per_thread + 2) / 3);
  for (int i = 0; i < 10000 && count < kept; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);  // room for a wrongly kept timer to fire
  CHECK(count == kept);
  CHECK(cancelled_ran == 0);
  {
    std::lock_guard<std::mutex> lock(mutex);
    CHECK(std::is_sorted(fired.begin(), fired.end()));
  }
  queue.shut_down();
}

// A cancel that races with the timer's expiry either takes the task out
// unrun or finds it gone: each task runs or is destroyed unrun, never both,
// never neither.
TEST(cancelling_timers_as_they_fall_due_runs_or_drops_each_once) {
  Deliverers deliverers;
  velkor::rt::TimerQueue queue(*deliverers.poller);

  struct Tally {
    std::atomic<int> ran{0};
    std::atomic<int> destroyed{0};
  } tally;
  struct Probe {
    Tally* tally;
    explicit Probe(Tally* t) : tally(t) {}
    Probe(Probe&& other) noexcept : tally(std::exchange(other.tally, nullptr)) {}
    ~Probe() {
      if (tally) ++tally->destroyed;
    }
  };
  constexpr int timers = 20000;
  std::vector<velkor::rt::TimerQueue::Id> ids;
  for (int i = 0; i < timers; ++i) {
    const auto id = queue.next_id(std::chrono::steady_clock::now() + std::chrono::microseconds(i % 50));
    ids.push_back(id);
    queue.schedule(id, velkor::rt::Task([probe = Probe(&tally)] { ++probe.tally->ran; }));
    if (i % 2) queue.cancel(ids[i / 2]);
  }
  for (int i = 0; i < 10000 && tally.destroyed < timers; ++i) std::this_thread::sleep_for(1ms);
  CHECK(tally.destroyed == timers);
  CHECK(tally.ran <= timers);
  CHECK(tally.ran >= timers / 2);  // the second half was never cancelled
  queue.shut_down();
}
