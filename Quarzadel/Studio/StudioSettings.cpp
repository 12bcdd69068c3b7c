#include "Quarzadel/Studio/StudioSettings.h"

namespace quarzadel {

namespace {

// A stored flag that reads as a Boolean (true, false, 1 or 0), else `fallback`.
// The command line has only text, so there "-Key NO" means what it says.
bool flag(const platform::UserDefaults& defaults, const char* key, bool fallback) {
  auto value = defaults.object(key);
  if (!value) return fallback;
  if (defaults.isArgument(key)) return defaults.boolean(key);
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number_integer() || value->is_number_unsigned()) {
    auto number = value->get<int64_t>();
    if (number == 0 || number == 1) return number == 1;
  }
  return fallback;
}

}  // namespace

StudioSettings StudioSettings::load(const platform::UserDefaults& defaults) {
  StudioSettings settings;
  auto resolution = defaults.string(kResolutionKey);
  settings.resolution = resolution == "720p" ? StreamConfig::Resolution::hd720 : StreamConfig::Resolution::hd1080;
  auto framing = defaults.string(kFramingKey);
  settings.framing = framing == "fill" ? Framing::fill : framing == "fit" ? Framing::fit : Framing::automatic;
  auto transition = defaults.string(kTransitionKey);
  settings.transition = transition == "cut" ? CameraTransition::cut : CameraTransition::dissolve;
  settings.mirrorPreview = defaults.boolean(kMirrorPreviewKey);
  settings.autoFailover = flag(defaults, kAutoFailoverKey, true);
  settings.recordLocally = flag(defaults, kRecordLocallyKey, true);
  return settings;
}

void StudioSettings::save(platform::UserDefaults& defaults) const {
  defaults.set(kResolutionKey, std::string(rawValue(resolution)));
  defaults.set(kFramingKey, std::string(rawValue(framing)));
  defaults.set(kTransitionKey, std::string(rawValue(transition)));
  defaults.set(kMirrorPreviewKey, mirrorPreview);
  defaults.set(kAutoFailoverKey, autoFailover);
  defaults.set(kRecordLocallyKey, recordLocally);
}

StreamConfig StudioSettings::streamConfig(const platform::UserDefaults& defaults) const {
  StreamConfig config;
  config.resolution = resolution;
  auto codec = defaults.string(kStreamCodecKey);
  config.videoCodec = codec == "h264" ? StreamConfig::VideoCodec::h264 : StreamConfig::VideoCodec::hevc;
  config.frameRate = 30;
  config.audioBitrate = 96000;
  config.audioSampleRate = 48000;
  config.keyframeIntervalSeconds = 2;
  return config;
}

}  // namespace quarzadel
