#pragma once
// How the media mixer makes its mixed picture: the main track forwarded as it
// comes (passthrough, optionally frozen on its last picture while muted) or the
// compositor's picture on the display clock (offscreen).
#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace medley {

struct VideoMixerSettings {
  enum class Mode { passthrough, offscreen };
  static std::string_view rawValue(Mode mode);
  // None for anything but "passthrough" and "offscreen".
  static std::optional<Mode> makeMode(std::string_view rawValue);

  VideoMixerSettings() = default;
  VideoMixerSettings(Mode mode, bool isMuted, uint8_t mainTrack) : mode(mode), isMuted(isMuted), mainTrack(mainTrack) {}

  Mode mode = Mode::passthrough;
  // In passthrough, new buffers carry the last picture instead of their own.
  bool isMuted = false;
  // Forwarded in passthrough; shown by the compositor's video-track object.
  uint8_t mainTrack = 0;

  friend bool operator==(const VideoMixerSettings&, const VideoMixerSettings&) = default;
};

void to_json(nlohmann::json& json, VideoMixerSettings::Mode mode);
// Throws nlohmann::json::exception for anything but the two raw values.
void from_json(const nlohmann::json& json, VideoMixerSettings::Mode& mode);
// Keys "mode", "isMuted", "mainTrack", in that order.
void to_json(nlohmann::json& json, const VideoMixerSettings& settings);
// Throws nlohmann::json::exception when a key is missing or mistyped.
void from_json(const nlohmann::json& json, VideoMixerSettings& settings);

}  // namespace medley
