// The poller passing between the worker threads and the thread that runs a
// loop: nothing is lost or delivered twice across the hand-overs, and the
// owner is woken by posts, timers and readiness alike. Built with
// ThreadSanitizer by `./dev tsan`.

#include <atomic>
#include <fcntl.h>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#include "native_test.h"
#include "runtime/channel.h"
#include "runtime/loop_polling.h"
#include "runtime/poll_gate.h"
#include "runtime/runtime.h"

using namespace std::chrono_literals;
using velkor::rt::Channel;
using velkor::rt::Direction;
using velkor::rt::LoopPolling;
using velkor::rt::PollGate;
using velkor::rt::ReadyWaiter;
using velkor::rt::Registration;
using velkor::rt::Runtime;

namespace {

enum class Kind { post, timer, readiness };
struct Message {
  Kind kind;
  int value;
};
using LoopChannel = Channel<Message>;

// A watch that posts one message per readiness event, from whichever thread
// delivers it, and notes that thread.
struct PostingWatch : ReadyWaiter, std::enable_shared_from_this<PostingWatch> {
  std::shared_ptr<Registration> registration;
  LoopChannel::Sender sender;
  std::atomic<bool> cancelled{false};
  std::atomic<std::thread::id> last_thread{};
  std::uint64_t posted = 0;
  explicit PostingWatch(LoopChannel::Sender tx) : sender(std::move(tx)) {}

  void on_ready() override { run(); }
  void run() {
    for (;;) {
      std::uint64_t observed = 0;
      if (registration->wait(Direction::read, 0, cancelled, shared_from_this(), observed) !=
          Registration::Wait::ready) {
        return;
      }
      last_thread = std::this_thread::get_id();
      Message message{Kind::readiness, static_cast<int>(posted++)};
      if (!sender.try_post(std::move(message))) return;
      registration->clear_ready(Direction::read, observed);
    }
  }
};

// Two workers, a channel whose wake-up descriptor is in the poller, and a
// PostingWatch registered on a pipe's read end (not yet waiting: each test
// starts it when it needs). Torn down watch first, then runtime, then pipe.
struct Rig {
  Runtime runtime{2};
  LoopChannel::Sender sender;
  LoopChannel::Receiver receiver;
  int pipe_fds[2] = {-1, -1};
  std::shared_ptr<PostingWatch> watch;

  Rig() : Rig(LoopChannel::make()) {}
  ~Rig() {
    watch->cancelled = true;
    watch->registration->unpark(Direction::read, watch.get());
    runtime.shut_down();
    close(pipe_fds[0]);
    close(pipe_fds[1]);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

 private:
  explicit Rig(std::pair<LoopChannel::Sender, LoopChannel::Receiver> channel)
      : sender(std::move(channel.first)), receiver(std::move(channel.second)) {
    runtime.handle().poller()->add_wake_source(receiver.wake_fd());
    CHECK(pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) == 0);
    watch = std::make_shared<PostingWatch>(sender);
    int error = 0;
    watch->registration = runtime.handle().poller()->acquire(pipe_fds[0], error);
    CHECK(watch->registration);
  }
};

// One run of a loop: drains until it has seen `until()`, sleeping in the
// poller whenever its queue is empty.
template <typename Until, typename OnMessage>
void run_loop(Runtime& runtime, LoopChannel::Receiver& receiver, Until&& until,
              OnMessage&& on_message) {
  LoopPolling polling(runtime.handle());
  while (!until()) {
    if (auto message = receiver.try_recv()) {
      on_message(*message);
      polling.poll_if_due();
      continue;
    }
    if (!polling.poll_now()) polling.sleep(receiver, nullptr);
  }
}

}  // namespace

TEST(the_owner_is_woken_by_posts_timers_and_readiness_across_many_hand_overs) {
  Rig rig;
  auto& [runtime, sender, receiver, pipe_fds, watch] = rig;
  runtime.handle().spawn([watch] { watch->run(); });

  constexpr int posts = 20000;
  constexpr int timers = 2000;
  constexpr int writes = 2000;
  std::atomic<int> timers_scheduled{0};
  std::thread poster([tx = sender]() mutable {
    std::mt19937 rng(1);
    for (int i = 0; i < posts; ++i) {
      Message message{Kind::post, i};
      if (!tx.try_post(std::move(message))) std::abort();
      if (rng() % 64 == 0) std::this_thread::sleep_for(20us);  // let the owner sleep
    }
  });
  std::thread timer_thread([&, tx = sender, runtime_handle = runtime.handle()]() mutable {
    std::mt19937 rng(2);
    for (int i = 0; i < timers; ++i) {
      runtime_handle.spawn_after(std::chrono::microseconds(rng() % 300), [tx, i]() mutable {
        Message message{Kind::timer, i};
        (void)tx.try_post(std::move(message));
      });
      ++timers_scheduled;
      if (rng() % 16 == 0) std::this_thread::sleep_for(50us);
    }
  });
  std::thread writer([&] {
    std::mt19937 rng(3);
    for (int i = 0; i < writes; ++i) {
      char byte = 'x';
      CHECK(write(pipe_fds[1], &byte, 1) == 1);
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 100));
    }
  });

  // Runs come and go meanwhile, handing the poller back and forth.
  std::vector<int> next_post;
  int posts_seen = 0, timers_seen = 0, readiness_seen = 0;
  std::mt19937 rng(4);
  auto on_message = [&](const Message& message) {
    switch (message.kind) {
      case Kind::post:
        CHECK(message.value == posts_seen);  // one producer: its order is kept
        ++posts_seen;
        break;
      case Kind::timer:
        ++timers_seen;
        break;
      case Kind::readiness: {
        char buffer[4096];
        while (read(pipe_fds[0], buffer, sizeof buffer) > 0) {
        }
        ++readiness_seen;
        break;
      }
    }
  };
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (posts_seen < posts || timers_seen < timers) {
    CHECK(std::chrono::steady_clock::now() < deadline);
    const int budget = 1 + static_cast<int>(rng() % 500);
    int handled = 0;
    run_loop(
        runtime, receiver,
        [&] { return handled >= budget || (posts_seen >= posts && timers_seen >= timers); },
        [&](const Message& message) {
          on_message(message);
          ++handled;
        });
    if (rng() % 4 == 0) std::this_thread::sleep_for(100us);  // the workers own it now
  }
  poster.join();
  timer_thread.join();
  writer.join();
  CHECK(posts_seen == posts);
  CHECK(timers_seen == timers);
  // The last write is seen, wherever its event was delivered.
  for (int i = 0; i < 2000 && !readiness_seen; ++i) std::this_thread::sleep_for(1ms);
  CHECK(readiness_seen > 0);
}

TEST(readiness_reaches_the_owner_without_a_worker) {
  Rig rig;
  auto& [runtime, sender, receiver, pipe_fds, watch] = rig;
  std::atomic<bool> parked{false};
  runtime.handle().spawn([&, watch] {
    watch->run();
    parked = true;
  });
  for (int i = 0; i < 5000 && !parked; ++i) std::this_thread::sleep_for(1ms);
  CHECK(parked);
  {
    LoopPolling polling(runtime.handle());
    std::thread writer([&] {
      std::this_thread::sleep_for(20ms);  // the owner is asleep in the poller by now
      char byte = 'x';
      CHECK(write(pipe_fds[1], &byte, 1) == 1);
    });
    std::optional<Message> got;
    while (!(got = receiver.try_recv())) polling.sleep(receiver, nullptr);
    writer.join();
    CHECK(got->kind == Kind::readiness);
    CHECK(watch->last_thread.load() == std::this_thread::get_id());
  }
}

TEST(the_watchdog_lends_the_poller_to_the_workers_during_a_long_callback) {
  Rig rig;
  auto& [runtime, sender, receiver, pipe_fds, watch] = rig;
  runtime.handle().spawn([watch] { watch->run(); });
  std::this_thread::sleep_for(20ms);  // parked
  {
    LoopPolling polling(runtime.handle());
    polling.callback_started();
    // A callback of 50 ms; the event comes a few milliseconds in.
    std::this_thread::sleep_for(5ms);
    char byte = 'x';
    CHECK(write(pipe_fds[1], &byte, 1) == 1);
    std::optional<Message> got;
    for (int i = 0; i < 45 && !(got = receiver.try_recv()); ++i) std::this_thread::sleep_for(1ms);
    polling.callback_ended();
    CHECK(got && got->kind == Kind::readiness);  // queued while the callback still ran
    CHECK(watch->last_thread.load() != std::this_thread::get_id());
    CHECK(runtime.handle().watchdog().take_overs() >= 1);
    // The thread takes the poller back at its next look, and readiness
    // reaches it directly again.
    CHECK(read(pipe_fds[0], &byte, 1) == 1);
    polling.poll_now();
    CHECK(runtime.handle().gate().loop_owns_poller());
    CHECK(write(pipe_fds[1], &byte, 1) == 1);
    std::optional<Message> again;
    while (!(again = receiver.try_recv())) polling.sleep(receiver, nullptr);
    CHECK(watch->last_thread.load() == std::this_thread::get_id());
  }
}

TEST(runs_that_come_and_go_under_a_stream_of_events_never_stall_the_pump) {
  // Each short run takes the poller while events keep firing, so the pump's
  // completions park often, and each hand-back resumes it at once: a resume
  // and the completion that parked it meet on the descriptor.
  Rig rig;
  auto& [runtime, sender, receiver, pipe_fds, watch] = rig;
  runtime.handle().spawn([watch] { watch->run(); });
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    char byte = 'x';
    while (writing) {
      (void)!write(pipe_fds[1], &byte, 1);
      std::this_thread::yield();
    }
  });
  auto drain = [&] {
    char buffer[4096];
    while (read(pipe_fds[0], buffer, sizeof buffer) > 0) {
    }
    while (receiver.try_recv()) {
    }
  };
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < until) {
    LoopPolling polling(runtime.handle());
    polling.poll_now();
    drain();
  }
  writing = false;
  writer.join();
  drain();
  // The workers own the poller again, and their pump still delivers.
  char byte = 'x';
  CHECK(write(pipe_fds[1], &byte, 1) == 1);
  std::optional<Message> got;
  for (int i = 0; i < 5000 && !(got = receiver.try_recv()); ++i) std::this_thread::sleep_for(1ms);
  CHECK(got && got->kind == Kind::readiness);
}

TEST(the_watchdog_never_lets_a_worker_read_alongside_the_loops_thread) {
  // The loop's thread looks, sleeps, and ends and begins runs while the
  // watchdog keeps taking the poller and two workers keep entering. Whoever
  // starts reading second sees the other in `reading` (the loop's thread
  // counts 1000, a worker 1). `looks` has no synchronisation of its own:
  // ThreadSanitizer sees an overlap too.
  PollGate gate;
  std::atomic<int> reading{0}, lent{0}, worker_reads{0};
  std::atomic<bool> overlapped{false}, done{false};
  std::uint64_t looks = 0;
  std::atomic<std::uint64_t> seen{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&] {
      while (!done) {
        if (!gate.worker_enter()) {
          std::this_thread::yield();
          continue;
        }
        if (reading.fetch_add(1) >= 1000) overlapped = true;
        seen.store(looks, std::memory_order_relaxed);
        std::this_thread::yield();
        ++worker_reads;
        reading.fetch_sub(1);
        gate.worker_leave();
      }
    });
  }
  threads.emplace_back([&] {
    bool resume_pump = false;
    while (!done) {
      if (gate.watchdog_take(resume_pump)) ++lent;
      std::this_thread::yield();
    }
  });
  auto read = [&] {
    if (reading.fetch_add(1000) != 0) overlapped = true;
    ++looks;
    std::this_thread::sleep_for(10us);  // the others run meanwhile
    reading.fetch_sub(1000);
  };
  std::mt19937 rng(5);
  gate.loop_take();
  for (const auto until = std::chrono::steady_clock::now() + 300ms;
       std::chrono::steady_clock::now() < until;) {
    std::this_thread::yield();  // a callback: the watchdog may take the poller meanwhile
    switch (rng() % 8) {
      case 0:
        gate.loop_begin_sleep();
        read();
        gate.loop_end_sleep();
        break;
      case 1:  // a run ends while a lent poller may have a reader; the next begins
        (void)gate.loop_release();
        gate.loop_take();
        break;
      default:
        gate.loop_begin_look();
        read();
        gate.loop_end_look();
    }
  }
  (void)gate.loop_release();
  done = true;
  for (auto& thread : threads) thread.join();
  CHECK(!overlapped);
  CHECK(lent > 0 && worker_reads > 0);
  // The reader count came through intact: the poller can be taken again.
  gate.loop_begin_look();
  gate.loop_end_look();
}
