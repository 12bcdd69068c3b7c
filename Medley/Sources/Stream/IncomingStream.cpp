#include "Medley/Sources/Stream/IncomingStream.h"

#include "Medley/Sources/Stream/AudioPlayer.h"
#include "Medley/Sources/Stream/AudioPlayerNode.h"
#include "Medley/Sources/Stream/StreamConvertible.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PCMBuffer.h"

namespace medley {

using platform::Async;

IncomingStream::IncomingStream(std::weak_ptr<StreamConvertible> stream, std::shared_ptr<platform::Runtime> runtime)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.IncomingStream", runtime),
      mediaLink_(std::make_shared<MediaLink>(runtime)),
      videoCodec_(runtime),
      stream_(std::move(stream)) {}

IncomingStream::~IncomingStream() {
  // The link's tick loop holds the link: stop it, or it would tick on alone.
  if (isRunning_) platform::spawnDetached(mediaLink_->queue(), mediaLink_->stopRunning());
}

Async<void> IncomingStream::append(platform::SampleBufferRef sampleBuffer) {
  co_await hop();
  if (!sampleBuffer || !sampleBuffer->formatDescription()) co_return;
  switch (sampleBuffer->formatDescription()->mediaType()) {
    case platform::MediaType::audio:
      audioCodec_.append(*sampleBuffer);
      break;
    case platform::MediaType::video:
      videoCodec_.append(sampleBuffer);
      break;
    default:
      break;
  }
}

Async<void> IncomingStream::append(platform::AudioBufferRef buffer, platform::AudioTime when) {
  co_await hop();
  if (buffer) audioCodec_.append(buffer, when);
}

Async<bool> IncomingStream::isRunning() {
  co_await hop();
  co_return isRunning_;
}

Async<void> IncomingStream::startRunning() {
  co_await hop();
  if (isRunning_) co_return;
  auto settings = audioCodec_.settings();
  settings.format = AudioCodecFormat::pcm;
  audioCodec_.setSettings(settings);
  videoCodec_.startRunning();
  audioCodec_.startRunning();
  isRunning_ = true;
  handedSeconds_ = 0;
  // The sequences are taken now, before any picture or sound is appended.
  auto decodedVideo = videoCodec_.outputStream();
  auto decodedAudio = audioCodec_.outputStream();
  platform::spawnDetached(queue(), &IncomingStream::present, mediaLink_, stream_);
  platform::spawnDetached(queue(), &IncomingStream::forwardVideo, mediaLink_, std::move(decodedVideo));
  if (audioPlayerNode_) {
    platform::spawnDetached(
        queue(), [](std::shared_ptr<AudioPlayerNode> node) { return node->startRunning(); }, audioPlayerNode_);
  }
  platform::spawnDetached(queue(), &IncomingStream::forwardAudio, weak_from_this(), stream_, std::move(decodedAudio));
}

Async<void> IncomingStream::stopRunning() {
  co_await hop();
  if (!isRunning_) co_return;
  videoCodec_.stopRunning();
  audioCodec_.stopRunning();
  platform::spawnDetached(queue(), [](std::shared_ptr<MediaLink> link) { return link->stopRunning(); }, mediaLink_);
  if (audioPlayerNode_) {
    platform::spawnDetached(
        queue(), [](std::shared_ptr<AudioPlayerNode> node) { return node->stopRunning(); }, audioPlayerNode_);
  }
  isRunning_ = false;
}

Async<void> IncomingStream::present(std::shared_ptr<MediaLink> link, std::weak_ptr<StreamConvertible> owner) {
  // Read before the link starts, so that the first released picture has a reader.
  auto released = co_await link->dequeue();
  co_await link->startRunning();
  while (auto frame = co_await released.next()) {
    if (auto stream = owner.lock()) co_await stream->append(std::move(*frame));
  }
}

Async<void> IncomingStream::forwardVideo(std::shared_ptr<MediaLink> link,
                                         platform::AsyncStream<platform::SampleBufferRef> decoded) {
  while (auto frame = co_await decoded.next()) co_await link->enqueue(std::move(*frame));
}

Async<void> IncomingStream::forwardAudio(std::weak_ptr<IncomingStream> weak, std::weak_ptr<StreamConvertible> owner,
                                         platform::AsyncStream<AudioCodec::Output> decoded) {
  while (auto output = co_await decoded.next()) {
    // The node of the player attached now: one attached during playback takes over.
    std::shared_ptr<AudioPlayerNode> node;
    if (auto self = weak.lock()) node = co_await self->currentPlayerNode(output->first);
    if (node) co_await node->enqueue(output->first);
    if (auto stream = owner.lock()) co_await stream->append(output->first, output->second);
  }
}

Async<std::shared_ptr<AudioPlayerNode>> IncomingStream::currentPlayerNode(platform::AudioBufferRef sound) {
  co_await hop();
  if (auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(sound); pcm && pcm->format().sampleRate() > 0) {
    handedSeconds_ += pcm->frameLength() / pcm->format().sampleRate();
  }
  co_return audioPlayerNode_;
}

Async<std::shared_ptr<SoundTransformNode>> IncomingStream::audioPlayerNode() {
  co_await hop();
  co_return audioPlayerNode_;
}

Async<void> IncomingStream::attachAudioPlayer(std::shared_ptr<AudioPlayer> player) {
  co_await hop();
  if (auto old = audioPlayerNode_) {
    co_await old->stopRunning();
    if (auto oldPlayer = old->player()) co_await oldPlayer->detach(old);
  }
  if (!player) {
    audioPlayerNode_.reset();
    co_await mediaLink_->setAudioPlayer({});
    co_return;
  }
  auto node = co_await player->makePlayerNode();
  co_await hop();
  audioPlayerNode_ = node;
  // Its sound starts with the next decoded buffer, after what went before.
  co_await mediaLink_->setAudioPlayer(node, isRunning_ ? handedSeconds_ : 0.0);
  // Attached during playback: it plays from the next decoded sound on.
  co_await hop();
  if (isRunning_ && node == audioPlayerNode_) co_await node->startRunning();
}

Async<std::optional<SoundTransform>> IncomingStream::soundTransform() {
  co_await hop();
  if (!audioPlayerNode_) co_return std::nullopt;
  auto node = audioPlayerNode_;
  const SoundTransform transform = co_await node->soundTransform();
  co_return transform;
}

Async<void> IncomingStream::setSoundTransform(SoundTransform transform) {
  co_await hop();
  if (!audioPlayerNode_) co_return;
  auto node = audioPlayerNode_;
  co_await node->setSoundTransform(transform);
}

}  // namespace medley
