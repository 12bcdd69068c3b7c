#pragma once
#include <string>

namespace medley {

// Volume and pan of a played stream's sound.
struct SoundTransform {
  static constexpr float kDefaultVolume = 1.0f;
  static constexpr float kDefaultPan = 0.0f;

  float volume = kDefaultVolume;
  float pan = kDefaultPan;

  std::string debugDescription() const;

  friend bool operator==(const SoundTransform&, const SoundTransform&) = default;
};

}  // namespace medley
