#include "Medley/Sources/Stream/StreamBase.h"

#include <algorithm>

#include "Medley/Sources/Stream/OutgoingStream.h"

namespace medley {

using platform::Async;

Async<std::optional<SoundTransform>> StreamBase::soundTransform() {
  co_await hop();
  auto playback = incoming();
  if (!playback) co_return std::nullopt;
  auto node = co_await playback->audioPlayerNode();
  if (!node) co_return std::nullopt;
  const SoundTransform transform = co_await node->soundTransform();
  co_return transform;
}

Async<AudioCodecSettings> StreamBase::audioSettings() {
  co_await hop();
  co_return outgoing().audioSettings();
}

Async<VideoCodecSettings> StreamBase::videoSettings() {
  co_await hop();
  co_return outgoing().videoSettings();
}

Async<void> StreamBase::setBitRateStrategy(std::shared_ptr<StreamBitRateStrategy> strategy) {
  co_await hop();
  bitRateStrategy_ = std::move(strategy);
}

Async<void> StreamBase::setVideoInputBufferCounts(int counts) {
  co_await hop();
  outgoing().setVideoInputBufferCounts(counts);
}

Async<void> StreamBase::setSoundTransform(SoundTransform transform) {
  co_await hop();
  auto playback = incoming();
  if (!playback) co_return;
  auto node = co_await playback->audioPlayerNode();
  if (!node) co_return;
  co_await node->setSoundTransform(transform);
}

Async<void> StreamBase::attachAudioPlayer(std::shared_ptr<AudioPlayer> player) {
  co_await hop();
  auto playback = incoming();
  if (!playback) co_return;
  co_await playback->attachAudioPlayer(std::move(player));
}

Async<void> StreamBase::addOutput(std::shared_ptr<StreamOutput> output) {
  co_await hop();
  if (!output || std::find(outputs_.begin(), outputs_.end(), output) != outputs_.end()) co_return;
  outputs_.push_back(std::move(output));
}

Async<void> StreamBase::removeOutput(std::shared_ptr<StreamOutput> output) {
  co_await hop();
  auto it = std::find(outputs_.begin(), outputs_.end(), output);
  if (it != outputs_.end()) outputs_.erase(it);
}

}  // namespace medley
