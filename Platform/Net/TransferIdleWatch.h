#pragma once
// Tells when a transfer has stalled: its progress, a count that only grows (the
// bytes the peer has taken and given), has not grown for the idle limit. The
// caller reads the count and the time; the watch only compares, so it runs on
// any clock.
#include <cstdint>

#include "Platform/Time/HostClock.h"

namespace platform {

class TransferIdleWatch {
 public:
  // The idle time counts from `now`.
  TransferIdleWatch(Nanos limit, Nanos now) : limit_(limit), lastChange_(now) {}

  // Takes the progress read at `now`; true once it has not grown for the limit.
  bool stalled(uint64_t progress, Nanos now) {
    if (progress > progress_) {
      progress_ = progress;
      lastChange_ = now;
    }
    return now - lastChange_ >= limit_;
  }
  // How long the progress has not grown, as of `now`.
  Nanos idleFor(Nanos now) const { return now - lastChange_; }
  Nanos limit() const { return limit_; }

 private:
  const Nanos limit_;
  uint64_t progress_ = 0;
  Nanos lastChange_;
};

}  // namespace platform
