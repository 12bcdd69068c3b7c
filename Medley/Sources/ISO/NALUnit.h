#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>

#include "Medley/Sources/Extension/Data.h"

namespace medley {

enum class H264NALUnitType : std::uint8_t {
    unspec = 0,
    slice = 1,
    dpa = 2,
    dpb = 3,
    dpc = 4,
    idr = 5,
    sei = 6,
    sps = 7,
    pps = 8,
    aud = 9,
    eoseq = 10,
    eostream = 11,
    fill = 12,
};

// No type for raw values of 13 and above.
std::optional<H264NALUnitType> makeH264NALUnitType(std::uint8_t rawValue);

enum class HEVCNALUnitType : std::uint8_t {
    codedSliceTrailN = 0,
    codedSliceTrailR = 1,
    codedSliceTsaN = 2,
    codedSliceTsaR = 3,
    codedSliceStsaN = 4,
    codedSliceStsaR = 5,
    codedSliceRadlN = 6,
    codedSliceRadlR = 7,
    codedSliceRaslN = 8,
    codedSliceRsslR = 9,
    vps = 32,
    sps = 33,
    pps = 34,
    accessUnitDelimiter = 35,
    unspec = 255,
};

// No type for 10...31 and 36...254.
std::optional<HEVCNALUnitType> makeHEVCNALUnitType(std::uint8_t rawValue);

// A unit type that can be made from a unit's bytes (header included); input
// too short for the header makes no unit.
template <typename T>
concept NALUnit = requires(std::span<const std::uint8_t> bytes, const T& unit) {
    { T::make(bytes) } -> std::same_as<std::optional<T>>;
    { unit.data() } -> std::same_as<Data>;
};

struct H264NALUnit {
    std::uint8_t refIdc = 0;
    H264NALUnitType type = H264NALUnitType::unspec;
    Data payload;

    static std::optional<H264NALUnit> make(std::span<const std::uint8_t> bytes);
    Data data() const;
    bool operator==(const H264NALUnit&) const = default;
};

struct HEVCNALUnit {
    HEVCNALUnitType type = HEVCNALUnitType::unspec;
    // Low five bits of the second header byte: the temporal id plus one and
    // the two low bits of the layer id (zero in single-layer streams).
    std::uint8_t temporalIdPlusOne = 0;
    Data payload;

    static std::optional<HEVCNALUnit> make(std::span<const std::uint8_t> bytes);
    Data data() const;
    bool operator==(const HEVCNALUnit&) const = default;
};

// Type of the unit whose first header byte is given, without building the unit.
inline H264NALUnitType h264NALUnitType(std::uint8_t headerByte) {
    return makeH264NALUnitType(headerByte & 0x1F).value_or(H264NALUnitType::unspec);
}
inline HEVCNALUnitType hevcNALUnitType(std::uint8_t headerByte) {
    return makeHEVCNALUnitType((headerByte >> 1) & 0x3F).value_or(HEVCNALUnitType::unspec);
}

}  // namespace medley
