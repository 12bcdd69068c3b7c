#pragma once
// Accumulates the peak and the sum of squares of the program sound's samples and
// turns them into an AudioLevel at most every `kInterval` seconds.
#include <cstdint>
#include <optional>

#include "Quarzadel/Program/AudioLevel.h"

namespace quarzadel {

class AudioLevelMeter {
 public:
  static constexpr double kInterval = 0.05;

  // Adds `frames` samples of one channel.
  void addChannel(const float* samples, int64_t frames);
  // A level when at least kInterval passed since the last report and samples were
  // added; the sums start again after it.
  std::optional<AudioLevel> takeLevel(double now);
  // The silence report of the pacing timer: due when more than kInterval passed
  // since the last report of either kind.
  bool takeSilenceReport(double now);

  double lastReportAt() const { return lastMeterAt_; }

 private:
  float meterPeak_ = 0;
  float meterSumSquares_ = 0;
  int64_t meterCount_ = 0;
  double lastMeterAt_ = 0;
};

}  // namespace quarzadel
