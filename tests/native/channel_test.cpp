#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "native_test.h"
#include "runtime/channel.h"

using velkor::rt::Channel;

namespace {
struct Counted {
  static inline std::atomic<int> alive{0};
  int value;
  explicit Counted(int v) : value(v) { ++alive; }
  Counted(Counted&& other) noexcept : value(other.value) { ++alive; }
  Counted(const Counted&) = delete;
  ~Counted() { --alive; }
};
}  // namespace

TEST(many_producers_lose_nothing_and_keep_each_producers_order) {
  auto [sender, receiver] = Channel<std::pair<int, int>>::make();
  constexpr int producers = 8;
  constexpr int per_producer = 100000;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([p, tx = sender] () mutable {
      for (int i = 0; i < per_producer; ++i) {
        std::pair<int, int> value{p, i};
        if (!tx.try_post(std::move(value))) std::abort();
      }
    });
  }
  sender.reset();
  std::vector<int> next(producers, 0);
  int received = 0;
  while (auto value = receiver.recv()) {
    CHECK(value->second == next[value->first]);
    ++next[value->first];
    ++received;
  }
  for (auto& thread : threads) thread.join();
  CHECK(received == producers * per_producer);
}

TEST(a_parked_receiver_wakes_for_a_post_from_another_thread) {
  auto [sender, receiver] = Channel<int>::make();
  std::atomic<bool> got{false};
  std::thread consumer([&, rx = std::move(receiver)]() mutable {
    auto value = rx.recv();
    got = value && *value == 7;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int seven = 7;
  CHECK(sender.try_post(std::move(seven)));
  consumer.join();
  CHECK(got);
}

TEST(the_end_of_the_channel_comes_after_what_is_queued) {
  auto [sender, receiver] = Channel<int>::make();
  int one = 1;
  CHECK(sender.try_post(std::move(one)));
  sender.reset();
  auto first = receiver.recv();
  CHECK(first && *first == 1);
  CHECK(!receiver.recv());
}

TEST(posts_fail_once_the_receiver_is_gone_and_hand_the_value_back) {
  auto [sender, receiver] = Channel<Counted>::make();
  {
    Counted queued(1);
    CHECK(sender.try_post(std::move(queued)));
  }
  CHECK(Counted::alive == 1);
  CHECK(!sender.is_closed());
  receiver.close();
  CHECK(Counted::alive == 0);  // what was queued is destroyed with the receiver
  CHECK(sender.is_closed());
  Counted refused(2);
  CHECK(!sender.try_post(std::move(refused)));
  CHECK(refused.value == 2);
  CHECK(Counted::alive == 1);
}

TEST(try_recv_does_not_wait) {
  auto [sender, receiver] = Channel<int>::make();
  CHECK(!receiver.try_recv());
  int v = 3;
  CHECK(sender.try_post(std::move(v)));
  auto got = receiver.try_recv();
  CHECK(got && *got == 3);
}
