#pragma once
// The host clock: one monotonic time base (nanoseconds) for every picture, sound
// and timer of the system. Injectable, so that tests run on virtual time.
#include <cstdint>
#include <memory>

namespace platform {

using Nanos = int64_t;

constexpr Nanos kNanosPerSecond = 1'000'000'000;
constexpr Nanos milliseconds(int64_t ms) { return ms * 1'000'000; }
constexpr Nanos microseconds(int64_t us) { return us * 1'000; }
constexpr Nanos seconds(double s) { return static_cast<Nanos>(s * 1e9); }
constexpr double toSeconds(Nanos n) { return static_cast<double>(n) / 1e9; }

class Clock {
 public:
  virtual ~Clock() = default;
  // Host time in nanoseconds.
  virtual Nanos now() const = 0;
  double nowSeconds() const { return toSeconds(now()); }
};

// CLOCK_MONOTONIC.
Nanos monotonicNow();

class HostClock final : public Clock {
 public:
  Nanos now() const override { return monotonicNow(); }
  static std::shared_ptr<HostClock> shared();
};

}  // namespace platform
