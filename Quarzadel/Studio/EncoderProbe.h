#pragma once
// Whether this machine can encode a codec at a picture size, and whether that
// encoder offers constant bit rate. HEVC counts only with a hardware encoder
// (a VAAPI render node whose driver encodes HEVC), asked by opening the very
// encoder a stream would use; H.264 is encoded in software, with constant bit rate.
#include <functional>

#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

struct EncoderSupport {
  bool supported = false;
  bool constantBitRate = false;
  bool operator==(const EncoderSupport&) const = default;
};

using EncoderProbe = std::function<EncoderSupport(StreamConfig::VideoCodec codec, int width, int height)>;

// Asks the system each time (opening a GPU encoder takes a while).
EncoderSupport encoderSupport(StreamConfig::VideoCodec codec, int width, int height);
// encoderSupport() asked once per codec and size for the process, from any thread.
const EncoderProbe& systemEncoderProbe();

}  // namespace quarzadel
