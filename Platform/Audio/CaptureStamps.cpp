#include "Platform/Audio/CaptureStamps.h"

#include <algorithm>

namespace platform {

double CaptureStamps::stamp(int64_t frames, double measured, double arrival) {
  const double duration = static_cast<double>(frames) / rate_;
  if (!anchor_) {
    anchor_ = std::min(measured, arrival - duration);
    count_ = 0;
    windowStart_ = arrival;
    windowSlack_ = std::numeric_limits<double>::infinity();
    bestSlack_.reset();
  }
  double start = *anchor_ + static_cast<double>(count_) / rate_;
  if (const double ahead = start + duration - arrival; ahead > 0) {
    *anchor_ -= ahead;
    start -= ahead;
  }
  count_ += frames;

  windowSlack_ = std::min(windowSlack_, arrival - (start + duration));
  if (arrival - windowStart_ >= kDriftWindow) {
    if (bestSlack_ && windowSlack_ - *bestSlack_ > kMaxDrift) *anchor_ += windowSlack_ - *bestSlack_;
    bestSlack_ = std::min(bestSlack_.value_or(windowSlack_), windowSlack_);
    windowStart_ = arrival;
    windowSlack_ = std::numeric_limits<double>::infinity();
  }
  return start;
}

}  // namespace platform
