#pragma once
// The playback half of a stream: received compressed sound and pictures are
// decoded, pictures paced by the media link, sound played by the attached
// player's node; both go back to the owning stream. Started and stopped with
// the owner's play state.
#include <memory>
#include <optional>

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/Stream/AsyncRunner.h"
#include "Medley/Sources/Stream/MediaLink.h"
#include "Medley/Sources/Stream/StreamPlayback.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Media/AudioBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class AudioPlayer;
class AudioPlayerNode;
class StreamConvertible;

class IncomingStream final : public platform::Actor,
                             public AsyncRunner,
                             public StreamPlayback,
                             public std::enable_shared_from_this<IncomingStream> {
 public:
  explicit IncomingStream(std::weak_ptr<StreamConvertible> stream,
                          std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  ~IncomingStream() override;

  // A compressed picture goes to the video decoder, compressed sound (ADTS) to the
  // audio decoder; anything else is dropped.
  platform::Async<void> append(platform::SampleBufferRef sampleBuffer);
  // A compressed sound packet with its time, to the audio decoder.
  platform::Async<void> append(platform::AudioBufferRef buffer, platform::AudioTime when);

  platform::Async<bool> isRunning() override;
  platform::Async<void> startRunning() override;
  platform::Async<void> stopRunning() override;

  platform::Async<std::shared_ptr<SoundTransformNode>> audioPlayerNode() override;
  // Replaces the node (the old one is stopped and detached); none clears it. A new
  // node starts at once while running, else with the next startRunning().
  platform::Async<void> attachAudioPlayer(std::shared_ptr<AudioPlayer> player) override;
  platform::Async<std::optional<SoundTransform>> soundTransform();
  platform::Async<void> setSoundTransform(SoundTransform transform);

  const std::shared_ptr<MediaLink>& mediaLink() const { return mediaLink_; }

 private:
  static platform::Async<void> present(std::shared_ptr<MediaLink> link, std::weak_ptr<StreamConvertible> owner);
  static platform::Async<void> forwardVideo(std::shared_ptr<MediaLink> link,
                                            platform::AsyncStream<platform::SampleBufferRef> decoded);
  static platform::Async<void> forwardAudio(std::weak_ptr<IncomingStream> weak, std::weak_ptr<StreamConvertible> owner,
                                            platform::AsyncStream<AudioCodec::Output> decoded);
  // The node to play `sound`, which counts as handed to it.
  platform::Async<std::shared_ptr<AudioPlayerNode>> currentPlayerNode(platform::AudioBufferRef sound);

  bool isRunning_ = false;
  // Seconds of decoded sound handed to the player nodes this run.
  double handedSeconds_ = 0;
  const std::shared_ptr<MediaLink> mediaLink_;
  AudioCodec audioCodec_;
  VideoCodec videoCodec_;
  const std::weak_ptr<StreamConvertible> stream_;
  std::shared_ptr<AudioPlayerNode> audioPlayerNode_;
};

}  // namespace medley
