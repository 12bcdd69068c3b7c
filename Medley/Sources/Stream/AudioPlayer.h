#pragma once
// Plays the decoded sound of played streams: holds the audio output (the
// engine) and one player unit per node it made. Several incoming streams can
// share one player; each has its own node and its own unit, so one stream
// stopping does not silence the others.
#include <map>
#include <memory>
#include <optional>

#include "Platform/Audio/AudioOutput.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Media/AudioFormat.h"

namespace medley {

class AudioPlayerNode;

class AudioPlayer : public platform::Actor, public std::enable_shared_from_this<AudioPlayer> {
 public:
  explicit AudioPlayer(std::shared_ptr<platform::AudioOutput> audioEngine,
                       std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());

  // A player on the sound server when one answers, else on the virtual output
  // (the choice is logged).
  static std::shared_ptr<AudioPlayer> makeDefault(std::shared_ptr<platform::Runtime> runtime =
                                                      platform::Runtime::shared());

  const std::shared_ptr<platform::AudioOutput>& audioEngine() const { return audioEngine_; }

  // A new node with its own unit of the output.
  platform::Async<std::shared_ptr<AudioPlayerNode>> makePlayerNode();
  // Opens the node's unit for `format`, or closes it with none. Nothing for a node
  // this player did not make (or detached). A unit the output refuses is logged and
  // left marked connected: its buffers go nowhere.
  platform::Async<void> connect(std::shared_ptr<AudioPlayerNode> node, std::optional<platform::AudioFormat> format);
  // Forgets the node; its connection mark stays.
  platform::Async<void> detach(std::shared_ptr<AudioPlayerNode> node);
  platform::Async<bool> isConnected(std::shared_ptr<AudioPlayerNode> node);

 private:
  const std::shared_ptr<platform::Runtime> runtime_;
  // Keyed by node identity; on the actor's queue only.
  std::map<const AudioPlayerNode*, bool> connected_;
  std::shared_ptr<platform::AudioOutput> audioEngine_;
  std::map<const AudioPlayerNode*, std::shared_ptr<platform::AudioPlayerUnit>> playerNodes_;
};

}  // namespace medley
