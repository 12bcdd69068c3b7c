#pragma once
// The shared behaviour of a stream that has a playback half and a publishing
// half: settings come from the outgoing encoders, the sound transform and the
// player go to the incoming half, outputs and the bit-rate strategy are kept
// here. A concrete stream adds its ready state, settings checks, appends and
// network dispatch.
#include <memory>
#include <vector>

#include "Medley/Sources/Stream/StreamConvertible.h"
#include "Medley/Sources/Stream/StreamPlayback.h"

namespace medley {

class OutgoingStream;

class StreamBase : public StreamConvertible {
 public:
  using StreamConvertible::StreamConvertible;

  platform::Async<std::optional<SoundTransform>> soundTransform() override;
  platform::Async<AudioCodecSettings> audioSettings() override;
  platform::Async<VideoCodecSettings> videoSettings() override;
  platform::Async<void> setBitRateStrategy(std::shared_ptr<StreamBitRateStrategy> strategy) override;
  // Takes effect the next time the outgoing raw video sequence is made.
  platform::Async<void> setVideoInputBufferCounts(int counts) override;
  // Without a player node nothing happens.
  platform::Async<void> setSoundTransform(SoundTransform transform) override;
  platform::Async<void> attachAudioPlayer(std::shared_ptr<AudioPlayer> player) override;
  // The same object is kept once; order of addition is kept.
  platform::Async<void> addOutput(std::shared_ptr<StreamOutput> output) override;
  // Removes the same object; nothing when it is not there.
  platform::Async<void> removeOutput(std::shared_ptr<StreamOutput> output) override;

 protected:
  // The playback half, or none.
  virtual std::shared_ptr<StreamPlayback> incoming() = 0;
  // The publishing half.
  virtual OutgoingStream& outgoing() = 0;

  // On the stream's queue only.
  std::vector<std::shared_ptr<StreamOutput>> outputs_;
  std::shared_ptr<StreamBitRateStrategy> bitRateStrategy_;
};

}  // namespace medley
