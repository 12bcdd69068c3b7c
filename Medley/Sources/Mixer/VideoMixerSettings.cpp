#include "Medley/Sources/Mixer/VideoMixerSettings.h"

#include <string>

namespace medley {

std::string_view VideoMixerSettings::rawValue(Mode mode) {
  return mode == Mode::offscreen ? "offscreen" : "passthrough";
}

std::optional<VideoMixerSettings::Mode> VideoMixerSettings::makeMode(std::string_view rawValue) {
  if (rawValue == "passthrough") return Mode::passthrough;
  if (rawValue == "offscreen") return Mode::offscreen;
  return std::nullopt;
}

void to_json(nlohmann::json& json, VideoMixerSettings::Mode mode) { json = std::string(VideoMixerSettings::rawValue(mode)); }

void from_json(const nlohmann::json& json, VideoMixerSettings::Mode& mode) {
  const auto parsed = VideoMixerSettings::makeMode(json.get<std::string>());
  if (!parsed) throw nlohmann::json::type_error::create(302, "not a video mixer mode: " + json.dump(), &json);
  mode = *parsed;
}

void to_json(nlohmann::json& json, const VideoMixerSettings& settings) {
  json = nlohmann::json::object();
  json["mode"] = settings.mode;
  json["isMuted"] = settings.isMuted;
  json["mainTrack"] = settings.mainTrack;
}

void from_json(const nlohmann::json& json, VideoMixerSettings& settings) {
  VideoMixerSettings parsed;
  parsed.mode = json.at("mode").get<VideoMixerSettings::Mode>();
  if (!json.at("isMuted").is_boolean()) throw nlohmann::json::type_error::create(302, "isMuted is not a Boolean", &json);
  parsed.isMuted = json.at("isMuted").get<bool>();
  const auto& track = json.at("mainTrack");
  if (!track.is_number_unsigned() || track.get<uint64_t>() > 255) {
    throw nlohmann::json::type_error::create(302, "mainTrack is not an 8-bit track: " + track.dump(), &json);
  }
  parsed.mainTrack = static_cast<uint8_t>(track.get<uint64_t>());
  settings = parsed;
}

}  // namespace medley
