#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Medley/Sources/Codec/VideoEncoder.h"

namespace medley {

// The levels of H.264 and HEVC as limits on picture size, luma sample rate
// and bit rate. Levels are counted as ten times their number (31 for 3.1),
// for both codecs. Decoders size their buffers by the level a stream declares,
// so a stream must not declare one below what it needs.
namespace VideoCodecLevel {

// True when the level holds pictures of the configuration's size at its
// expected frame rate and its bit rate (the rate buffer's, when it has one).
bool fits(const VideoEncoderConfiguration& configuration, int level, bool highTier = false);
// The lowest level, at least `atLeast`, that fits; nullopt when none does.
std::optional<int> lowestFitting(const VideoEncoderConfiguration& configuration, int atLeast = 0);
// "3.1"
std::string name(int level);

}  // namespace VideoCodecLevel

}  // namespace medley
