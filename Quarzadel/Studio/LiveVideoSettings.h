#pragma once
// What the live stream's video encoder is set to: the program's size and frame
// rate, HEVC Main or H.264 High at a rate, constant (a rate buffer of one
// second) or average, a key frame every config.keyframeIntervalSeconds, no
// picture waiting for a later one. HEVC is asked of the GPU's encoder only.
#include <cstdint>

#include "Medley/Sources/Codec/VideoCodecSettings.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace quarzadel {

medley::VideoCodecSettings liveVideoSettings(const StreamConfig& config, StreamConfig::VideoCodec codec,
                                             int64_t bitRate, bool constantBitRate);

}  // namespace quarzadel
