#pragma once
// How the audio encoder turns program sound into encoded audio: bit rate,
// downmixing, channel map, output rate and output coding (AAC, Opus or PCM).
// Also the rules that derive the encoder's output format from the input,
// decide whether a change needs a new converter, and push the live-tunable
// values into a converter.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Media/AudioFormat.h"

namespace medley {

class AudioCodecConverter;

struct AudioCodecSettings {
  enum class Format { aac, opus, pcm };

  static constexpr int kDefaultBitRate = 64000;
  static constexpr uint32_t kMaximumNumberOfChannels = 8;

  int bitRate = kDefaultBitRate;
  bool downmix = true;
  // For each output channel, the input channel that feeds it.
  std::optional<std::vector<int>> channelMap;
  // Output rate in Hz; 0 means the input's rate.
  double sampleRate = 0;
  Format format = Format::aac;

  AudioCodecSettings() = default;
  AudioCodecSettings(int bitRate, bool downmix, std::optional<std::vector<int>> channelMap, double sampleRate,
                     Format format)
      : bitRate(bitRate), downmix(downmix), channelMap(std::move(channelMap)), sampleRate(sampleRate),
        format(format) {}

  // A change of format or channel map needs a new converter; bit rate,
  // downmix and sample rate do not.
  bool invalidateConverter(const AudioCodecSettings& other) const;

  // Pushes bit rate (bounded to what the converter accepts), downmix and
  // channel map into a live converter; with an old value, only what changed.
  void apply(AudioCodecConverter* converter, const std::optional<AudioCodecSettings>& oldValue) const;

  // The channel map in the converter's terms, or none when there is no map or
  // it does not fit the converter's channels.
  std::optional<std::vector<int>> makeChannelMap(const AudioCodecConverter& converter) const;

  nlohmann::json toJSON() const;
  // None when a key other than "channelMap" is missing or of the wrong type.
  static std::optional<AudioCodecSettings> fromJSON(const nlohmann::json& json);

  friend bool operator==(const AudioCodecSettings&, const AudioCodecSettings&) = default;
};

using AudioCodecFormat = AudioCodecSettings::Format;

// The formats in declaration order.
const std::vector<AudioCodecFormat>& allAudioCodecFormats();
std::string_view rawValue(AudioCodecFormat format);
std::optional<AudioCodecFormat> audioCodecFormat(std::string_view rawValue);

platform::FourCC formatID(AudioCodecFormat format);

// The output rate: `output` unless it is 0, then `input`; for Opus the
// nearest of 8000, 12000, 16000, 24000 and 48000 (the lower on a tie).
double makeSampleRate(AudioCodecFormat format, double input, double output);

// The encoder's output format for an input format; none when the description
// cannot be a format (for instance no channels).
std::optional<platform::AudioFormat> makeOutputFormat(AudioCodecFormat format, const platform::AudioFormat& input,
                                                      double sampleRate,
                                                      const std::optional<std::vector<int>>& channelMap);

void to_json(nlohmann::json& json, const AudioCodecSettings& settings);
void from_json(const nlohmann::json& json, AudioCodecSettings& settings);

}  // namespace medley
