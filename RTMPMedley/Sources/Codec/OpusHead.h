#pragma once
// The Opus identification header ("OpusHead", 19 bytes, mapping family 0)
// that an Opus audio sequence header carries.
#include <optional>

#include "Medley/Sources/Extension/Data.h"

namespace rtmpmedley {

// None for a channel count outside 0...255 or a rate that is not finite or
// does not fit the header's 32-bit field once truncated.
std::optional<medley::Data> makeOpusHead(int channelCount, double sampleRate);

}  // namespace rtmpmedley
