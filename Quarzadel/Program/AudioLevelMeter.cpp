#include "Quarzadel/Program/AudioLevelMeter.h"

#include <cmath>

namespace quarzadel {

void AudioLevelMeter::addChannel(const float* samples, int64_t frames) {
  if (samples == nullptr || frames <= 0) return;
  // Eight independent lanes let the compiler vectorise both reductions without
  // reassociating floating-point sums behind our back.
  constexpr int kLanes = 8;
  float peaks[kLanes] = {};
  float sums[kLanes] = {};
  int64_t i = 0;
  for (; i + kLanes <= frames; i += kLanes) {
    for (int l = 0; l < kLanes; ++l) {
      const float x = samples[i + l];
      const float a = std::fabs(x);
      peaks[l] = a > peaks[l] ? a : peaks[l];
      sums[l] += x * x;
    }
  }
  for (; i < frames; ++i) {
    const float a = std::fabs(samples[i]);
    peaks[0] = a > peaks[0] ? a : peaks[0];
    sums[0] += samples[i] * samples[i];
  }
  float peak = 0;
  float sum = 0;
  for (int l = 0; l < kLanes; ++l) {
    peak = peaks[l] > peak ? peaks[l] : peak;
    sum += sums[l];
  }
  meterPeak_ = std::fmax(meterPeak_, peak);
  meterSumSquares_ += sum;
  meterCount_ += frames;
}

std::optional<AudioLevel> AudioLevelMeter::takeLevel(double now) {
  if (now - lastMeterAt_ < kInterval || meterCount_ <= 0) return std::nullopt;
  lastMeterAt_ = now;
  const float rms = std::sqrt(meterSumSquares_ / static_cast<float>(meterCount_));
  AudioLevel level{meterPosition(rms), meterPosition(meterPeak_)};
  meterPeak_ = 0;
  meterSumSquares_ = 0;
  meterCount_ = 0;
  return level;
}

bool AudioLevelMeter::takeSilenceReport(double now) {
  if (now - lastMeterAt_ <= kInterval) return false;
  lastMeterAt_ = now;
  return true;
}

}  // namespace quarzadel
