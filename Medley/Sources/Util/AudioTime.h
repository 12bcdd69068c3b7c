#pragma once
// The anchor between a sound stream's sample positions and the host clock:
// the host time of one sample, its position and the rate. Only the first
// anchoring counts. Used from its owner's queue or actor only.
#include <cstdint>
#include <optional>

#include "Platform/Time/AudioTime.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

class AudioTime {
 public:
  double sampleRate() const { return sampleRate_; }
  // The host time of the anchor sample; none until anchored.
  const std::optional<platform::AudioTime>& anchorTime() const { return anchorTime_; }
  int64_t sampleTime() const { return sampleTime_; }

  // Anchors on a host-clock time: the sample position is the time counted at `rate`.
  void anchor(const platform::MediaTime& time, double rate);
  // Anchors on a time that already has its position and rate.
  void anchor(const platform::AudioTime& time);

 private:
  double sampleRate_ = 0;
  std::optional<platform::AudioTime> anchorTime_;
  int64_t sampleTime_ = 0;
};

}  // namespace medley
