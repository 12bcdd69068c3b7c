#pragma once
// The anchor between a sound stream's sample positions and the host clock: the
// host time of one sample, its position and the rate, and the position reached
// since (advanced by its owner as it emits sound). Only the first anchoring
// counts until a reset. Used from its owner's queue or actor only.
#include <cstdint>
#include <optional>

#include "Platform/Time/AudioTime.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

class AudioTime {
 public:
  double sampleRate() const { return sampleRate_; }
  // The anchor sample's time; none until anchored.
  const std::optional<platform::AudioTime>& anchorTime() const { return anchorTime_; }
  bool hasAnchor() const { return anchorTime_.has_value(); }
  // The position reached: the anchor's position plus every advance since.
  int64_t sampleTime() const { return sampleTime_; }

  // Anchors on a host-clock time: the sample position is the time counted at `rate`.
  void anchor(const platform::MediaTime& time, double rate);
  // Anchors on a time that already has its position and rate.
  void anchor(const platform::AudioTime& time);
  // Anchors on a stream position without a host time: `position` at `atRate`,
  // counted at `rate` (decoded sound counts on from its first packet).
  void anchor(int64_t position, double atRate, double rate);

  void advance(int64_t frames) { sampleTime_ += frames; }
  // The position reached as a time: on the host clock when the anchor is.
  platform::AudioTime at() const;
  void reset() { *this = AudioTime(); }

 private:
  double sampleRate_ = 0;
  std::optional<platform::AudioTime> anchorTime_;
  int64_t sampleTime_ = 0;
};

}  // namespace medley
