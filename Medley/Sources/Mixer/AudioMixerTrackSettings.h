#pragma once
// The settings of one input track of an audio mixer: its gain in the sum, its
// mute, and how its channels reach the mixer's channels.
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {
class AudioConverter;
}

namespace medley {

struct AudioMixerTrackSettings {
  static constexpr float kDefaultVolume = 1.0f;

  // Linear gain in the multi-track sum, clamped to 0...1 where it is applied.
  float volume = kDefaultVolume;
  // Silences the track's converted output; its blocks and times keep coming.
  bool isMuted = false;
  // Mixes extra input channels down instead of dropping them.
  bool downmix = true;
  // For each output channel, the input channel that feeds it.
  std::optional<std::vector<int>> channelMap;

  // The map when it has one entry per output channel of the converter and
  // every entry names one of its input channels; none otherwise.
  std::optional<std::vector<int>> validatedChannelMap(const platform::AudioConverter& converter) const;
  // Brings a converter from `oldValue` to these settings: downmix when it
  // changed, the channel map when it changed and fits the converter.
  void apply(platform::AudioConverter* converter, const AudioMixerTrackSettings& oldValue) const;

  // The volume as the mixer applies it.
  float clampedVolume() const;

  friend bool operator==(const AudioMixerTrackSettings&, const AudioMixerTrackSettings&) = default;
};

// Keys "volume", "isMuted", "downmix" and, when present, "channelMap".
void to_json(nlohmann::json& json, const AudioMixerTrackSettings& settings);
// Throws nlohmann::json::exception when "volume", "isMuted" or "downmix" is missing or mistyped.
void from_json(const nlohmann::json& json, AudioMixerTrackSettings& settings);

}  // namespace medley
