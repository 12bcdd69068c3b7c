#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "Medley/Sources/Extension/Data.h"
#include "Platform/Media/FormatDescription.h"

namespace medley {

// What a sequence parameter set says about the coded pictures.
struct VideoSequenceInfo {
    std::int32_t width = 0;   // after the conformance/cropping window
    std::int32_t height = 0;
    std::uint32_t chromaFormatIdc = 1;
    std::uint32_t bitDepthLumaMinus8 = 0;
    std::uint32_t bitDepthChromaMinus8 = 0;
    // level_idc (H.264: 10 x level, 9 for 1b; HEVC: 30 x level) and the HEVC tier.
    std::uint32_t levelIdc = 0;
    bool highTier = false;
    // VUI timing (H.264 only): a frame lasts 2 x numUnitsInTick / timeScale s.
    struct Timing {
        std::uint32_t numUnitsInTick = 0;
        std::uint32_t timeScale = 0;
        bool fixedFrameRate = false;
        bool operator==(const Timing&) const = default;
    };
    std::optional<Timing> timing;
};

// Sample-description atoms ("avcC", "hvcC") built from and read back into the
// parameter sets of a stream. Units are given without start codes or length
// prefixes; every unit must fit a 16-bit length.
namespace VideoDecoderConfiguration {

// avcC with 4-byte unit lengths; nullopt without an SPS and a PPS or when the
// SPS is unreadable.
std::optional<Data> makeAVC(const std::vector<Data>& sps, const std::vector<Data>& pps);
// hvcC with 4-byte unit lengths; nullopt without a VPS, an SPS and a PPS or
// when the SPS is unreadable.
std::optional<Data> makeHEVC(const std::vector<Data>& vps, const std::vector<Data>& sps,
                             const std::vector<Data>& pps);

// The units of an avcC or hvcC in their stored order; nullopt when malformed.
std::optional<std::vector<Data>> parameterSetsOfAVC(std::span<const std::uint8_t> avcC);
std::optional<std::vector<Data>> parameterSetsOfHEVC(std::span<const std::uint8_t> hvcC);
// Unit length size (1, 2 or 4) declared by an avcC or hvcC; nullopt when malformed.
std::optional<int> nalUnitLengthSizeOfAVC(std::span<const std::uint8_t> avcC);
std::optional<int> nalUnitLengthSizeOfHEVC(std::span<const std::uint8_t> hvcC);

// The parameter sets carried by a video format description (avcC or hvcC),
// empty when it carries none.
std::vector<Data> parameterSets(const platform::FormatDescription& format);

// SPS readers (the whole unit, header included); nullopt when malformed.
std::optional<VideoSequenceInfo> readAVCSequenceInfo(std::span<const std::uint8_t> sps);
std::optional<VideoSequenceInfo> readHEVCSequenceInfo(std::span<const std::uint8_t> sps);

}  // namespace VideoDecoderConfiguration

}  // namespace medley
