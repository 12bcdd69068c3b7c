#pragma once
// The host's Studio preferences and the stream configuration derived from them.
#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

struct StudioSettings {
  StreamConfig::Resolution resolution = StreamConfig::Resolution::hd1080;

  friend bool operator==(const StudioSettings&, const StudioSettings&) = default;

  // The Studio's configuration, derived at every call: H.264 only when the user
  // default "StreamCodec" is exactly "h264" (read now, so a change applies at the
  // next go-live without reopening the Studio), else HEVC; 30 fps, sound at
  // 96 kbit/s and 48 kHz, a key frame every 2 s.
  StreamConfig streamConfig() const;
};

}  // namespace quarzadel
