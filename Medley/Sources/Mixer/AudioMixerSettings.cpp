#include "Medley/Sources/Mixer/AudioMixerSettings.h"

#include <algorithm>
#include <limits>
#include <string>

#include "Medley/Sources/Extension/AudioFormatFactory.h"

namespace medley {

namespace {

// An unsigned integer that fits T; anything else (negative, fractional, too
// large) is refused rather than wrapped.
template <class T>
T unsignedOf(const nlohmann::json& value, const char* name) {
  const bool fits = value.is_number_integer() && value.get<int64_t>() >= 0 &&
                    value.get<uint64_t>() <= std::numeric_limits<T>::max();
  if (!fits) {
    throw nlohmann::json::type_error::create(302, std::string(name) + " is out of range: " + value.dump(), &value);
  }
  return static_cast<T>(value.get<uint64_t>());
}

}  // namespace

const AudioMixerSettings& AudioMixerSettings::defaultSettings() {
  static const AudioMixerSettings settings;
  return settings;
}

std::optional<platform::AudioFormat> AudioMixerSettings::makeOutputFormat(
    const platform::FormatDescription* description) const {
  const auto input = AVAudioUtil::makeAudioFormat(description);
  if (!input || !input->isValid()) return std::nullopt;
  const double rate = std::min(sampleRate != 0 ? sampleRate : input->sampleRate(), defaultSampleRate);
  const uint32_t count = channels != 0 ? channels : std::min(maximumNumberOfChannels, input->channelCount());
  if (!(rate > 0) || count == 0) return std::nullopt;
  platform::AudioFormat format;
  if (auto layout = AVAudioUtil::makeChannelLayout(count)) {
    format = platform::AudioFormat(platform::CommonFormat::float32, rate, input->isInterleaved(), *layout);
  } else {
    format = platform::AudioFormat(platform::CommonFormat::float32, rate, std::min(count, 2u), input->isInterleaved());
  }
  if (!format.isValid()) return std::nullopt;
  return format;
}

AudioMixerTrackSettings AudioMixerSettings::trackSettings(uint8_t id) const {
  auto it = tracks.find(id);
  return it == tracks.end() ? AudioMixerTrackSettings{} : it->second;
}

void to_json(nlohmann::json& json, const AudioMixerSettings& settings) {
  nlohmann::json tracks = nlohmann::json::array();
  for (const auto& [id, track] : settings.tracks) {
    tracks.push_back(id);
    tracks.push_back(track);
  }
  json = nlohmann::json{{"sampleRate", settings.sampleRate},
                        {"channels", settings.channels},
                        {"isMuted", settings.isMuted},
                        {"mainTrack", settings.mainTrack},
                        {"tracks", std::move(tracks)},
                        {"maximumNumberOfChannels", settings.maximumNumberOfChannels}};
}

void from_json(const nlohmann::json& json, AudioMixerSettings& settings) {
  AudioMixerSettings decoded;
  decoded.sampleRate = json.at("sampleRate").get<double>();
  decoded.channels = unsignedOf<uint32_t>(json.at("channels"), "channels");
  decoded.isMuted = json.at("isMuted").get<bool>();
  decoded.mainTrack = unsignedOf<uint8_t>(json.at("mainTrack"), "mainTrack");
  const auto& tracks = json.at("tracks");
  if (!tracks.is_array() || tracks.size() % 2 != 0)
    throw nlohmann::json::type_error::create(302, "\"tracks\" must alternate track ids and track settings", &tracks);
  for (size_t i = 0; i < tracks.size(); i += 2)
    decoded.tracks[unsignedOf<uint8_t>(tracks[i], "a track id")] = tracks[i + 1].get<AudioMixerTrackSettings>();
  decoded.maximumNumberOfChannels =
      unsignedOf<uint32_t>(json.at("maximumNumberOfChannels"), "maximumNumberOfChannels");
  settings = std::move(decoded);
}

}  // namespace medley
