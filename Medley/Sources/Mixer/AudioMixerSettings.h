#pragma once
// The settings of an audio mixer as a whole: the output's rate and channels,
// its mute, the main track and each track's own settings. They also derive the
// mixer's output format from the main track's input format.
#include <cstdint>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "Medley/Sources/Mixer/AudioMixerTrackSettings.h"
#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/FormatDescription.h"

namespace medley {

struct AudioMixerSettings {
  static constexpr double defaultSampleRate = 48000;
  static constexpr uint32_t kDefaultMaximumNumberOfChannels = 2;
  static const AudioMixerSettings& defaultSettings();

  AudioMixerSettings() = default;
  AudioMixerSettings(double sampleRate, uint32_t channels, bool isMuted, uint8_t mainTrack,
                     std::map<uint8_t, AudioMixerTrackSettings> tracks)
      : sampleRate(sampleRate), channels(channels), isMuted(isMuted), mainTrack(mainTrack), tracks(std::move(tracks)) {}

  // Output rate in Hz; 0 takes the input's (at most 48 kHz either way).
  double sampleRate = 0;
  // Output channels; 0 takes the input's, capped at maximumNumberOfChannels.
  uint32_t channels = 0;
  // The output is silence; its buffers and times keep coming.
  bool isMuted = false;
  // The track whose arrival sets the output format and paces the output.
  uint8_t mainTrack = 0;
  std::map<uint8_t, AudioMixerTrackSettings> tracks;
  uint32_t maximumNumberOfChannels = kDefaultMaximumNumberOfChannels;

  // 32-bit float at the chosen rate and channel count, interleaved exactly
  // when the input is; none without a description or a PCM format for it.
  std::optional<platform::AudioFormat> makeOutputFormat(const platform::FormatDescription* description) const;

  // The track's settings, or the defaults when it has none.
  AudioMixerTrackSettings trackSettings(uint8_t id) const;

  friend bool operator==(const AudioMixerSettings&, const AudioMixerSettings&) = default;
};

// All six keys; "tracks" as a flat array alternating track id and track settings.
void to_json(nlohmann::json& json, const AudioMixerSettings& settings);
// Throws nlohmann::json::exception when any of the six keys is missing or mistyped.
void from_json(const nlohmann::json& json, AudioMixerSettings& settings);

}  // namespace medley
