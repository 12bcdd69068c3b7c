#pragma once
// Waits, bounded, for what another thread or a peer process does.
#include <chrono>
#include <cstdint>
#include <thread>

namespace qztest {

// Polls `condition` until it holds or `bound` has passed; whether it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::nanoseconds bound = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The bound as a count of nanoseconds, as the platform's durations are.
template <class Condition>
bool eventually(Condition condition, std::int64_t boundNanos) {
  return eventually(std::move(condition), std::chrono::nanoseconds(boundNanos));
}

}  // namespace qztest
