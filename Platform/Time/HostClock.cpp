#include "Platform/Time/HostClock.h"

#include <ctime>

namespace platform {

Nanos monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Nanos>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

std::shared_ptr<HostClock> HostClock::shared() {
  static auto clock = std::make_shared<HostClock>();
  return clock;
}

}  // namespace platform
