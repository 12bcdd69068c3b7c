#include "Medley/Sources/ISO/NALBitReader.h"

namespace medley {

Data NALBitReader::unescape(std::span<const std::uint8_t> bytes) {
    Data out;
    out.reserve(bytes.size());
    int zeros = 0;
    for (std::uint8_t b : bytes) {
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

NALBitReader::NALBitReader(std::span<const std::uint8_t> nalUnitPayload) : rbsp_(unescape(nalUnitPayload)) {}

std::uint32_t NALBitReader::bits(int count) {
    if (count <= 0) return 0;
    if (count > 32 || static_cast<std::size_t>(count) > bitsLeft()) {
        failed_ = true;
        position_ = rbsp_.size() * 8;
        return 0;
    }
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t byte = rbsp_[position_ >> 3];
        value = (value << 1) | ((byte >> (7 - (position_ & 7))) & 1u);
        ++position_;
    }
    return value;
}

void NALBitReader::skip(int count) {
    while (count > 0) {
        const int n = count > 32 ? 32 : count;
        bits(n);
        count -= n;
    }
}

std::uint32_t NALBitReader::ue() {
    int leadingZeros = 0;
    while (!failed_ && bits(1) == 0) {
        if (++leadingZeros > 31) {
            failed_ = true;
            return 0;
        }
    }
    if (failed_) return 0;
    if (leadingZeros == 0) return 0;
    return ((1u << leadingZeros) - 1u) + bits(leadingZeros);
}

std::int32_t NALBitReader::se() {
    const std::uint32_t k = ue();
    const auto magnitude = static_cast<std::int32_t>((k + 1) / 2);
    return (k & 1) ? magnitude : -magnitude;
}

}  // namespace medley
