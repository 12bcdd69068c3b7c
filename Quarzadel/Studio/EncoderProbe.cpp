#include "Quarzadel/Studio/EncoderProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "Medley/Sources/Codec/VideoEncoder.h"
#include "Quarzadel/Studio/EncoderProbeCache.h"

namespace quarzadel {
namespace {

// Opens the stream's own hardware encoder at the size: at constant bit rate
// first, as the stream would use it where the driver has it.
EncoderSupport hardwareHEVC(int width, int height) {
  medley::VideoEncoderConfiguration c;
  c.codec = medley::VideoEncoderConfiguration::Codec::hevc;
  c.hardware = true;
  c.width = width & ~1;
  c.height = height & ~1;
  c.profile = "main";
  c.bitRate = 2'000'000;
  for (const bool constant : {true, false}) {
    c.rateControl = constant ? medley::VideoEncoderConfiguration::RateControl::constant
                             : medley::VideoEncoderConfiguration::RateControl::average;
    medley::OSStatus status = 0;
    if (medley::makeHardwareHEVCVideoEncoder(c, status)) return {true, constant};
    // No render node or no encoder at all: the other mode won't help.
    if (status == medley::VTStatus::couldNotFindVideoEncoder) break;
  }
  return {};
}

}  // namespace

EncoderSupport encoderSupport(StreamConfig::VideoCodec codec, int width, int height) {
  if (width <= 0 || height <= 0) return {};
  if (codec == StreamConfig::VideoCodec::hevc) return hardwareHEVC(width, height);
  if (!avcodec_find_encoder_by_name("libx264")) return {};
  return {true, true};
}

const EncoderProbe& systemEncoderProbe() {
  static const EncoderProbe probe = std::make_shared<EncoderProbeCache>(encoderSupport)->probe();
  return probe;
}

}  // namespace quarzadel
