#include "Medley/Sources/Stream/AudioPlayer.h"

#include "Medley/Sources/Stream/AudioPlayerNode.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

using platform::Async;

AudioPlayer::AudioPlayer(std::shared_ptr<platform::AudioOutput> audioEngine, std::shared_ptr<platform::Runtime> runtime)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.AudioPlayer", runtime),
      runtime_(std::move(runtime)),
      audioEngine_(std::move(audioEngine)) {}

std::shared_ptr<AudioPlayer> AudioPlayer::makeDefault(std::shared_ptr<platform::Runtime> runtime) {
  auto choice = platform::AudioOutput::makeDefault(runtime);
  if (choice.reason.empty()) {
    MEDLEY_LOG_INFO("audio output: " + choice.output->description());
  } else {
    MEDLEY_LOG_INFO("audio output: " + choice.output->description() + " (" + choice.reason + ")");
  }
  return std::make_shared<AudioPlayer>(std::move(choice.output), std::move(runtime));
}

Async<std::shared_ptr<AudioPlayerNode>> AudioPlayer::makePlayerNode() {
  co_await hop();
  auto unit = audioEngine_ ? audioEngine_->makePlayerUnit() : nullptr;
  auto node = std::make_shared<AudioPlayerNode>(weak_from_this(), unit, runtime_);
  playerNodes_[node.get()] = std::move(unit);
  co_return node;
}

Async<void> AudioPlayer::connect(std::shared_ptr<AudioPlayerNode> node, std::optional<platform::AudioFormat> format) {
  co_await hop();
  if (!audioEngine_ || !node) co_return;
  auto it = playerNodes_.find(node.get());
  if (it == playerNodes_.end() || !it->second) co_return;
  if (format) {
    try {
      it->second->connect(*format);
    } catch (const platform::AudioOutputError& error) {
      MEDLEY_LOG_ERROR(error.what());
    }
    connected_[node.get()] = true;
  } else {
    it->second->disconnect();
    connected_.erase(node.get());
  }
}

Async<void> AudioPlayer::detach(std::shared_ptr<AudioPlayerNode> node) {
  co_await hop();
  if (!node) co_return;
  auto it = playerNodes_.find(node.get());
  if (it == playerNodes_.end()) co_return;
  if (it->second) it->second->disconnect();
  playerNodes_.erase(it);
}

Async<bool> AudioPlayer::isConnected(std::shared_ptr<AudioPlayerNode> node) {
  co_await hop();
  auto it = connected_.find(node.get());
  co_return it != connected_.end() && it->second;
}

}  // namespace medley
