#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Medley/Sources/Extension/Data.h"

namespace medley {

// One unit found in a start-code byte stream.
struct NALByteStreamUnit {
    std::size_t startCodeOffset = 0;  // first byte of its 3- or 4-byte start code
    std::size_t startCodeLength = 0;  // 3 or 4
    std::span<const std::uint8_t> bytes;  // header and payload, trailing zero bytes trimmed
};

// Splits a start-code (Annex B) byte stream into its units, in stream order.
// Bytes before the first start code make no unit; trailing zero bytes before
// the next start code are stream padding, not part of the unit. Empty units
// (adjacent start codes) are reported with empty `bytes`.
std::vector<NALByteStreamUnit> splitNALByteStream(std::span<const std::uint8_t> stream);

// Appends `unit` preceded by its size as a 4-byte big-endian number.
void appendLengthPrefixedNALUnit(Data& out, std::span<const std::uint8_t> unit);

// Rewrites a start-code byte stream as 4-byte length-prefixed units into
// `out` (cleared first). Empty units are dropped; zero bytes before the
// first start code are stream padding and dropped; any other bytes there are
// kept unchanged.
void nalByteStreamToLengthPrefixed(std::span<const std::uint8_t> stream, Data& out);

}  // namespace medley
