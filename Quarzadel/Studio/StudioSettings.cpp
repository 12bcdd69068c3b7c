#include "Quarzadel/Studio/StudioSettings.h"

#include "Platform/Defaults/UserDefaults.h"

namespace quarzadel {

StreamConfig StudioSettings::streamConfig() const {
  StreamConfig config;
  config.resolution = resolution;
  auto codec = platform::UserDefaults::standard()->string("StreamCodec");
  config.videoCodec = codec == "h264" ? StreamConfig::VideoCodec::h264 : StreamConfig::VideoCodec::hevc;
  config.frameRate = 30;
  config.audioBitrate = 96000;
  config.audioSampleRate = 48000;
  config.keyframeIntervalSeconds = 2;
  return config;
}

}  // namespace quarzadel
