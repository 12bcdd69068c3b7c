#pragma once
// One played stream's voice: takes decoded PCM buffers, plays them back to back
// on its unit, starts playback once kPlaybackStartBufferCount buffers wait, and
// gives its play position as the clock the pictures follow. The unit is opened
// with the format of the buffers (a new format reopens it).
#include <memory>
#include <optional>

#include "Medley/Sources/Stream/AsyncRunner.h"
#include "Medley/Sources/Stream/SoundTransform.h"
#include "Medley/Sources/Stream/StreamPlayback.h"
#include "Medley/Sources/Util/AudioTime.h"
#include "Platform/Audio/AudioPlayerUnit.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Media/AudioBuffer.h"

namespace medley {

class AudioPlayer;

class AudioPlayerNode final : public platform::Actor,
                              public AsyncRunner,
                              public SoundTransformNode,
                              public std::enable_shared_from_this<AudioPlayerNode> {
 public:
  // Buffers waiting before playback starts.
  static constexpr int kPlaybackStartBufferCount = 10;

  AudioPlayerNode(std::weak_ptr<AudioPlayer> player, std::shared_ptr<platform::AudioPlayerUnit> playerNode,
                  std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  const std::shared_ptr<platform::AudioPlayerUnit>& playerNode() const { return playerNode_; }
  // The player that made the node, while it lives.
  std::shared_ptr<AudioPlayer> player() const { return player_.lock(); }

  // Seconds of playback; 0 while not playing.
  platform::Async<double> currentTime();
  // Asks the player to open the unit for the format, or to close it with none.
  platform::Async<void> connect(std::optional<platform::AudioFormat> format);
  // Schedules a PCM buffer (others are dropped). A buffer of a new format waits
  // until the unit is open for it, so no sound is lost to the reconnection.
  platform::Async<void> enqueue(platform::AudioBufferRef buffer);

  platform::Async<bool> isRunning() override;
  platform::Async<void> startRunning() override;
  platform::Async<void> stopRunning() override;

  platform::Async<SoundTransform> soundTransform() override;
  // Applies volume and pan to the unit and keeps the transform.
  platform::Async<void> setSoundTransform(SoundTransform transform) override;

  // While paused, buffering does not start playback.
  platform::Async<void> setPaused(bool paused);
  // Buffers accepted and not yet played out.
  platform::Async<int> scheduledAudioBuffers();
  // The time line: anchored by the first accepted buffer, counted on per buffer.
  platform::Async<AudioTime> audioTime();

 private:
  platform::Async<void> setFormat(std::optional<platform::AudioFormat> format);
  void scheduleBuffer(std::shared_ptr<const platform::PCMBuffer> buffer);

  bool isPaused_ = false;
  bool isRunning_ = false;
  SoundTransform soundTransform_;
  const std::shared_ptr<platform::AudioPlayerUnit> playerNode_;
  AudioTime audioTime_;
  int scheduledAudioBuffers_ = 0;
  bool isBuffering_ = true;
  const std::weak_ptr<AudioPlayer> player_;
  std::optional<platform::AudioFormat> format_;
};

}  // namespace medley
