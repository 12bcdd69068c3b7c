#include "Medley/Sources/ISO/NALUnit.h"

namespace medley {

std::optional<H264NALUnitType> makeH264NALUnitType(std::uint8_t rawValue) {
    if (rawValue > 12) return std::nullopt;
    return static_cast<H264NALUnitType>(rawValue);
}

std::optional<HEVCNALUnitType> makeHEVCNALUnitType(std::uint8_t rawValue) {
    if (rawValue <= 9 || (rawValue >= 32 && rawValue <= 35) || rawValue == 255) {
        return static_cast<HEVCNALUnitType>(rawValue);
    }
    return std::nullopt;
}

std::optional<H264NALUnit> H264NALUnit::make(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    H264NALUnit unit;
    unit.refIdc = static_cast<std::uint8_t>(bytes[0] >> 5);
    unit.type = h264NALUnitType(bytes[0]);
    unit.payload.assign(bytes.begin() + 1, bytes.end());
    return unit;
}

Data H264NALUnit::data() const {
    Data out;
    out.reserve(1 + payload.size());
    out.push_back(static_cast<std::uint8_t>((refIdc << 5) | static_cast<std::uint8_t>(type)));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::optional<HEVCNALUnit> HEVCNALUnit::make(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) return std::nullopt;
    HEVCNALUnit unit;
    unit.type = hevcNALUnitType(bytes[0]);
    unit.temporalIdPlusOne = bytes[1] & 0x1F;
    unit.payload.assign(bytes.begin() + 2, bytes.end());
    return unit;
}

Data HEVCNALUnit::data() const {
    Data out;
    out.reserve(2 + payload.size());
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint8_t>(type) << 1));
    out.push_back(temporalIdPlusOne);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

}  // namespace medley
