#include "Medley/Sources/Util/AudioTime.h"

#include <cmath>
#include <limits>

namespace medley {

namespace {

// Truncates toward zero; 0 for what no 64-bit position can hold.
int64_t truncated(double value) {
  constexpr double kLimit = 9.0e18;
  return std::isfinite(value) && std::fabs(value) < kLimit ? static_cast<int64_t>(value) : 0;
}

}  // namespace

void AudioTime::anchor(const platform::MediaTime& time, double rate) {
  // A time without a number says nowhere to anchor.
  if (anchorTime_ || !time.isNumeric()) return;
  sampleRate_ = rate;
  const bool rateIsTimescale = std::isfinite(rate) && rate >= std::numeric_limits<int32_t>::min() &&
                               rate <= std::numeric_limits<int32_t>::max() &&
                               time.timescale == static_cast<int32_t>(rate);
  sampleTime_ = rateIsTimescale ? time.value
                                : truncated(static_cast<double>(time.value) * rate / static_cast<double>(time.timescale));
  anchorTime_ = platform::AudioTime::with(truncated(std::round(time.seconds() * 1e9)), sampleTime_, rate);
}

void AudioTime::anchor(const platform::AudioTime& time) {
  if (anchorTime_) return;
  sampleRate_ = time.sampleRate;
  sampleTime_ = time.sampleTime;
  anchorTime_ = time;
}

}  // namespace medley
