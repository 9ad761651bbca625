#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <thread>

#include "native_test.h"
#include "runtime/os_error.h"
#include "runtime/runtime.h"

using namespace std::chrono_literals;
using velkor::rt::Runtime;

TEST(tasks_run_on_named_worker_threads) {
  Runtime runtime(2);
  CHECK(runtime.worker_count() == 2);
  std::atomic<bool> done{false};
  char name[32] = {};
  runtime.handle().spawn([&] {
    pthread_getname_np(pthread_self(), name, sizeof name);
    done = true;
  });
  for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(1ms);
  CHECK(done);
  CHECK(std::strcmp(name, "velkor-worker") == 0);
}

TEST(timers_never_fire_early_and_shutdown_drops_the_pending_ones) {
  Runtime runtime(2);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<long long> fired_after_ns{-1};
  runtime.handle().spawn_after(30ms, [&] {
    fired_after_ns = (std::chrono::steady_clock::now() - start).count();
  });
  auto witness = std::make_shared<int>(0);
  std::weak_ptr<int> watch = witness;
  runtime.handle().spawn_after(std::chrono::steady_clock::duration::max(),
                               [keep = std::move(witness)] {});
  for (int i = 0; i < 5000 && fired_after_ns < 0; ++i) std::this_thread::sleep_for(1ms);
  CHECK(fired_after_ns >= 30'000'000);
  runtime.shut_down();
  CHECK(watch.expired());  // the sleeping task was destroyed, not run
}

TEST(the_worker_count_setting_must_be_a_positive_whole_number) {
  setenv("TOKIO_WORKER_THREADS", "3", 1);
  CHECK(velkor::rt::worker_count_from_environment() == 3);
  for (const char* bad : {"0", "abc", "", "-1", "2x", " 2"}) {
    setenv("TOKIO_WORKER_THREADS", bad, 1);
    bool refused = false;
    try {
      velkor::rt::worker_count_from_environment();
    } catch (const velkor::rt::WorkerCountError&) {
      refused = true;
    }
    CHECK(refused);
  }
  unsetenv("TOKIO_WORKER_THREADS");
  CHECK(velkor::rt::worker_count_from_environment() >= 1);
}

TEST(os_error_text_names_the_error_and_its_number) {
  CHECK(velkor::rt::os_error_text(9) == "Bad file descriptor (os error 9)");
}
