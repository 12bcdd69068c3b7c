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
  anchorTime_ = platform::AudioTime::with(time.nanos(), sampleTime_, rate);
}

void AudioTime::anchor(int64_t position, double atRate, double rate) {
  if (anchorTime_ || !(atRate > 0) || !(rate > 0)) return;
  sampleRate_ = rate;
  sampleTime_ = atRate == rate ? position : truncated(static_cast<double>(position) * rate / atRate);
  anchorTime_ = platform::AudioTime::withSampleTime(sampleTime_, rate);
}

platform::AudioTime AudioTime::at() const {
  auto t = platform::AudioTime::withSampleTime(sampleTime_, sampleRate_);
  if (anchorTime_ && anchorTime_->hostTimeValid && anchorTime_->sampleRate > 0) {
    t.hostTime = anchorTime_->hostTime + static_cast<platform::Nanos>(
                                             static_cast<double>(sampleTime_ - anchorTime_->sampleTime) * 1e9 /
                                             anchorTime_->sampleRate);
    t.hostTimeValid = true;
  }
  return t;
}

void AudioTime::anchor(const platform::AudioTime& time) {
  if (anchorTime_) return;
  sampleRate_ = time.sampleRate;
  sampleTime_ = time.sampleTime;
  anchorTime_ = time;
}

}  // namespace medley
