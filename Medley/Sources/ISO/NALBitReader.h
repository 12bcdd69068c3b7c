#pragma once

#include <cstdint>
#include <span>

#include "Medley/Sources/Extension/Data.h"

namespace medley {

// Reads the bits of a NAL unit's payload (RBSP): emulation-prevention bytes
// (the 03 of 00 00 03) are removed first. Reading past the end sets `failed`
// and returns zeros, so a caller checks once after a run of reads.
class NALBitReader {
public:
    explicit NALBitReader(std::span<const std::uint8_t> nalUnitPayload);

    std::uint32_t bits(int count);  // count <= 32
    bool flag() { return bits(1) != 0; }
    void skip(int count);
    // Unsigned and signed Exp-Golomb codes.
    std::uint32_t ue();
    std::int32_t se();

    bool failed() const { return failed_; }
    std::size_t bitsLeft() const { return rbsp_.size() * 8 - position_; }

    // The payload with emulation-prevention bytes removed.
    static Data unescape(std::span<const std::uint8_t> bytes);

private:
    Data rbsp_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

}  // namespace medley
