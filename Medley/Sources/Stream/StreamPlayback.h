#pragma once
// What a stream's shared behaviour needs of its playback half: the audio
// player node whose volume and pan a sound transform sets, and the player it
// is attached to. Conformers are actors.
#include <memory>

#include "Medley/Sources/Stream/SoundTransform.h"
#include "Platform/Concurrency/Async.h"

namespace medley {

class AudioPlayer;

class SoundTransformNode {
 public:
  virtual ~SoundTransformNode() = default;
  // The transform the node keeps.
  virtual platform::Async<SoundTransform> soundTransform() = 0;
  // Sets the player's volume, then its pan, on the node's actor.
  virtual platform::Async<void> setSoundTransform(SoundTransform transform) = 0;
};

class StreamPlayback {
 public:
  virtual ~StreamPlayback() = default;
  // The node of the attached player, or none.
  virtual platform::Async<std::shared_ptr<SoundTransformNode>> audioPlayerNode() = 0;
  // Attaches a player, or detaches with none.
  virtual platform::Async<void> attachAudioPlayer(std::shared_ptr<AudioPlayer> player) = 0;
};

}  // namespace medley
