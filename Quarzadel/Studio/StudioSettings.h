#pragma once
// The host's Studio preferences, kept in user defaults, and the stream
// configuration derived from them.
#include <memory>

#include "Platform/Defaults/UserDefaults.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

struct StudioSettings {
  static constexpr const char* kResolutionKey = "StudioResolution";
  static constexpr const char* kFramingKey = "StudioFraming";
  static constexpr const char* kTransitionKey = "StudioTransition";
  static constexpr const char* kMirrorPreviewKey = "StudioMirrorPreview";
  static constexpr const char* kAutoFailoverKey = "StudioAutoFailover";
  static constexpr const char* kRecordLocallyKey = "StudioRecordLocally";
  static constexpr const char* kStreamCodecKey = "StreamCodec";

  StreamConfig::Resolution resolution = StreamConfig::Resolution::hd1080;
  Framing framing = Framing::automatic;
  CameraTransition transition = CameraTransition::dissolve;
  bool mirrorPreview = false;   // the host's preview only, never the stream
  bool autoFailover = true;     // switch cameras by themselves when one disconnects
  bool recordLocally = true;    // record a copy on this machine while live

  friend bool operator==(const StudioSettings&, const StudioSettings&) = default;

  // Reads the six defaults; exact, case-sensitive values, anything else the default.
  static StudioSettings load(const platform::UserDefaults& defaults);
  static StudioSettings load() { return load(*platform::UserDefaults::standard()); }
  // Writes all six keys, every time.
  void save(platform::UserDefaults& defaults) const;
  void save() const { save(*platform::UserDefaults::standard()); }

  // The Studio's configuration, derived at every call: H.264 only when the user
  // default "StreamCodec" is exactly "h264" (read now, so a change applies at the
  // next go-live without reopening the Studio), else HEVC; 30 fps, sound at
  // 96 kbit/s and 48 kHz, a key frame every 2 s.
  StreamConfig streamConfig(const platform::UserDefaults& defaults) const;
  StreamConfig streamConfig() const { return streamConfig(*platform::UserDefaults::standard()); }
};

}  // namespace quarzadel
