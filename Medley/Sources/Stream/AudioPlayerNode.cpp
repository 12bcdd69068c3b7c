#include "Medley/Sources/Stream/AudioPlayerNode.h"

#include "Medley/Sources/Stream/AudioPlayer.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/PCMBuffer.h"

namespace medley {

using platform::Async;

AudioPlayerNode::AudioPlayerNode(std::weak_ptr<AudioPlayer> player,
                                 std::shared_ptr<platform::AudioPlayerUnit> playerNode,
                                 std::shared_ptr<platform::Runtime> runtime)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.AudioPlayerNode", std::move(runtime)),
      playerNode_(std::move(playerNode)),
      player_(std::move(player)) {}

Async<double> AudioPlayerNode::currentTime() {
  co_await hop();
  if (!playerNode_ || !format_ || format_->sampleRate() <= 0) co_return 0.0;
  const auto played = playerNode_->playedFrames();
  if (!played) co_return 0.0;
  co_return static_cast<double>(*played) / format_->sampleRate();
}

Async<void> AudioPlayerNode::connect(std::optional<platform::AudioFormat> format) {
  co_await hop();
  auto player = player_.lock();
  if (!player) co_return;
  co_await player->connect(shared_from_this(), std::move(format));
}

Async<void> AudioPlayerNode::setFormat(std::optional<platform::AudioFormat> format) {
  if (format_ == format) co_return;
  format_ = format;
  co_await connect(std::move(format));
}

Async<void> AudioPlayerNode::enqueue(platform::AudioBufferRef buffer) {
  co_await hop();
  if (!buffer) co_return;
  co_await setFormat(buffer->format());
  auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(buffer);
  auto player = player_.lock();
  if (!pcm || !player) co_return;
  if (!co_await player->isConnected(shared_from_this())) co_return;
  if (!audioTime_.hasAnchor()) {
    audioTime_.anchor(platform::AudioTime::with(queue()->now(), 0, pcm->format().sampleRate()));
  }
  ++scheduledAudioBuffers_;
  if (!isPaused_ && playerNode_ && !playerNode_->isPlaying() && scheduledAudioBuffers_ >= kPlaybackStartBufferCount) {
    playerNode_->play();
  }
  scheduleBuffer(std::move(pcm));
}

void AudioPlayerNode::scheduleBuffer(std::shared_ptr<const platform::PCMBuffer> buffer) {
  audioTime_.advance(buffer->frameLength());
  if (!playerNode_) return;
  // The unit calls back on its own thread: the count lives on this actor.
  std::weak_ptr<AudioPlayerNode> weak = weak_from_this();
  playerNode_->scheduleBuffer(std::move(buffer), [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->queue()->async([self] {
      if (self->scheduledAudioBuffers_ > 0 && --self->scheduledAudioBuffers_ == 0) self->isBuffering_ = true;
    });
  });
}

Async<bool> AudioPlayerNode::isRunning() {
  co_await hop();
  co_return isRunning_;
}

Async<void> AudioPlayerNode::startRunning() {
  co_await hop();
  if (isRunning_) co_return;
  scheduledAudioBuffers_ = 0;
  isRunning_ = true;
}

Async<void> AudioPlayerNode::stopRunning() {
  co_await hop();
  if (!isRunning_) co_return;
  if (playerNode_ && playerNode_->isPlaying()) playerNode_->stop();
  audioTime_.reset();
  co_await setFormat(std::nullopt);
  isRunning_ = false;
}

Async<SoundTransform> AudioPlayerNode::soundTransform() {
  co_await hop();
  co_return soundTransform_;
}

Async<void> AudioPlayerNode::setSoundTransform(SoundTransform transform) {
  co_await hop();
  soundTransform_ = transform;
  if (!playerNode_) co_return;
  playerNode_->setVolume(transform.volume);
  playerNode_->setPan(transform.pan);
}

Async<void> AudioPlayerNode::setPaused(bool paused) {
  co_await hop();
  isPaused_ = paused;
}

Async<int> AudioPlayerNode::scheduledAudioBuffers() {
  co_await hop();
  co_return scheduledAudioBuffers_;
}

Async<AudioTime> AudioPlayerNode::audioTime() {
  co_await hop();
  co_return audioTime_;
}

}  // namespace medley
