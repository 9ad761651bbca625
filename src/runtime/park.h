#pragma once
// Parking a thread on a 32-bit word: the futex calls the channel's consumer
// uses to sleep without spinning and to be woken by a producer.

#include <atomic>
#include <cstdint>

namespace velkor::rt {

// Sleeps while `word` holds `expected`; returns on a wake, a signal, or at
// once when the word already differs. Callers re-check their condition.
// True when a signal handler cut the sleep short.
bool park_while(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// Wakes one thread parked on `word`.
void unpark_one(std::atomic<std::uint32_t>& word) noexcept;

}  // namespace velkor::rt
