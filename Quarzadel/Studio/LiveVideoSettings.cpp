#include "Quarzadel/Studio/LiveVideoSettings.h"

#include "Medley/Sources/Codec/VTSessionOption.h"

namespace quarzadel {

medley::VideoCodecSettings liveVideoSettings(const StreamConfig& config, StreamConfig::VideoCodec codec,
                                             int64_t bitRate, bool constantBitRate) {
  const bool hevc = codec == StreamConfig::VideoCodec::hevc;
  medley::VideoCodecSettings video(
      {static_cast<double>(config.width()), static_cast<double>(config.height())}, static_cast<int>(bitRate),
      hevc ? medley::VTProfileLevel::hevcMainAutoLevel : medley::VTProfileLevel::h264HighAutoLevel,
      medley::VideoCodecSettings::ScalingMode::trim,
      constantBitRate ? medley::VideoCodecSettings::BitRateMode::constant()
                      : medley::VideoCodecSettings::BitRateMode::average(),
      config.keyframeIntervalSeconds, false, std::nullopt, false, false, config.frameRate);
  // HEVC is chosen only when the probe found the GPU's encoder: never HEVC in software.
  video.isHardwareEncoderRequired = hevc;
  return video;
}

}  // namespace quarzadel
