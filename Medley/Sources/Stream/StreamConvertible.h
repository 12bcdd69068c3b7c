#pragma once
// A stream that can publish or play. An actor: every requirement runs on the
// stream's queue and callers await it. Streams are owned by shared_ptr, so a
// strategy or an output can keep the one that calls it; a conformer reaches
// itself with static_pointer_cast of shared_from_this().
#include <memory>
#include <optional>

#include "Medley/Sources/Codec/AudioCodecSettings.h"
#include "Medley/Sources/Codec/VideoCodecSettings.h"
#include "Medley/Sources/Mixer/MediaMixerOutput.h"
#include "Medley/Sources/Network/NetworkMonitorEvent.h"
#include "Medley/Sources/Stream/SoundTransform.h"
#include "Medley/Sources/Stream/StreamReadyState.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Media/AudioBuffer.h"

namespace medley {

class AudioPlayer;
class StreamBitRateStrategy;
class StreamOutput;

class StreamConvertible : public MediaMixerOutput,
                          public platform::Actor,
                          public std::enable_shared_from_this<StreamConvertible> {
 public:
  using Actor::Actor;

  virtual platform::Async<StreamReadyState> readyState() = 0;
  // The playback transform; none without an attached player.
  virtual platform::Async<std::optional<SoundTransform>> soundTransform() = 0;
  // The outgoing audio encoder's settings.
  virtual platform::Async<AudioCodecSettings> audioSettings() = 0;
  // The outgoing video encoder's settings.
  virtual platform::Async<VideoCodecSettings> videoSettings() = 0;
  // None removes the strategy.
  virtual platform::Async<void> setBitRateStrategy(std::shared_ptr<StreamBitRateStrategy> strategy) = 0;
  // Throws when the stream refuses the settings.
  virtual platform::Async<void> setAudioSettings(AudioCodecSettings settings) = 0;
  // Throws when the stream refuses the settings.
  virtual platform::Async<void> setVideoSettings(VideoCodecSettings settings) = 0;
  virtual platform::Async<void> setSoundTransform(SoundTransform transform) = 0;
  // How many raw video frames may wait for the encoder (newest kept); 0 or less: no limit of its own.
  virtual platform::Async<void> setVideoInputBufferCounts(int counts) = 0;
  // Audio or video to publish.
  virtual platform::Async<void> append(platform::SampleBufferRef sampleBuffer) = 0;
  virtual platform::Async<void> append(platform::AudioBufferRef buffer, platform::AudioTime when) = 0;
  // Attaches a playback player, or detaches with none.
  virtual platform::Async<void> attachAudioPlayer(std::shared_ptr<AudioPlayer> player) = 0;
  virtual platform::Async<void> addOutput(std::shared_ptr<StreamOutput> output) = 0;
  virtual platform::Async<void> removeOutput(std::shared_ptr<StreamOutput> output) = 0;
  // A network event for this stream.
  virtual platform::Async<void> dispatch(NetworkMonitorEvent event) = 0;
};

}  // namespace medley
