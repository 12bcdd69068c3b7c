#include "Medley/Sources/Mixer/AudioMixerTrackSettings.h"

#include <algorithm>
#include <cmath>

#include "Platform/Media/AudioConverter.h"

namespace medley {

std::optional<std::vector<int>> AudioMixerTrackSettings::validatedChannelMap(
    const platform::AudioConverter& converter) const {
  if (!channelMap || channelMap->size() != converter.outputFormat().channelCount()) return std::nullopt;
  const auto inputs = static_cast<int>(converter.inputFormat().channelCount());
  for (int entry : *channelMap)
    if (entry < 0 || entry >= inputs) return std::nullopt;
  return channelMap;
}

void AudioMixerTrackSettings::apply(platform::AudioConverter* converter,
                                    const AudioMixerTrackSettings& oldValue) const {
  if (converter == nullptr) return;
  if (downmix != oldValue.downmix) converter->setDownmix(downmix);
  if (!channelMap || channelMap == oldValue.channelMap) return;
  if (auto map = validatedChannelMap(*converter)) converter->setChannelMap(*map);
}

float AudioMixerTrackSettings::clampedVolume() const {
  if (std::isnan(volume)) return 0.0f;
  return std::clamp(volume, 0.0f, 1.0f);
}

void to_json(nlohmann::json& json, const AudioMixerTrackSettings& settings) {
  json = nlohmann::json{{"volume", settings.volume}, {"isMuted", settings.isMuted}, {"downmix", settings.downmix}};
  if (settings.channelMap) json["channelMap"] = *settings.channelMap;
}

void from_json(const nlohmann::json& json, AudioMixerTrackSettings& settings) {
  AudioMixerTrackSettings decoded;
  decoded.volume = json.at("volume").get<float>();
  decoded.isMuted = json.at("isMuted").get<bool>();
  decoded.downmix = json.at("downmix").get<bool>();
  if (auto it = json.find("channelMap"); it != json.end() && !it->is_null())
    decoded.channelMap = it->get<std::vector<int>>();
  settings = std::move(decoded);
}

}  // namespace medley
