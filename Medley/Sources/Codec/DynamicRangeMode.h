#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Media/ColorAttachments.h"
#include "Platform/Media/PixelFormat.h"

namespace medley {

// The colour range of the picture path: standard or high dynamic range.
enum class DynamicRangeMode { sdr, hdr };

// A named colour space and the tags it puts on pictures.
struct DynamicRangeColorSpace {
    std::string name;  // "ITUR_709", "ITUR_2100_HLG"
    platform::ColorAttachments attachments;
    bool operator==(const DynamicRangeColorSpace&) const = default;
};

// How a renderer works for the mode: half-float RGBA in the mode's colour space.
struct DynamicRangeContextOptions {
    std::string workingFormat = "RGBAh";
    DynamicRangeColorSpace workingColorSpace;
    DynamicRangeColorSpace outputColorSpace;
    bool operator==(const DynamicRangeContextOptions&) const = default;
};

// Attributes of the pixel buffers rendered for the mode.
struct DynamicRangePixelBufferAttributes {
    platform::FourCC pixelFormatType = 0;
    bool gpuCompatible = true;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool operator==(const DynamicRangePixelBufferAttributes&) const = default;
};

// What a renderer of the mode works with: its options when the mode's colour
// space exists (the output colour space is what every picture is tagged with),
// none otherwise. The processor is the only device here.
struct DynamicRangeContext {
    DynamicRangeMode mode = DynamicRangeMode::sdr;
    std::optional<DynamicRangeContextOptions> options;
    bool operator==(const DynamicRangeContext&) const = default;
};

// The mode's shared colour space (made once, on first use).
const std::optional<DynamicRangeColorSpace>& colorSpace(DynamicRangeMode mode);
// None when the mode has no colour space.
std::optional<DynamicRangeContextOptions> contextOptions(DynamicRangeMode mode);
// 420v for sdr, x420 (10-bit) for hdr.
platform::PixelFormat pixelFormat(DynamicRangeMode mode);
// A new context for the mode, with contextOptions(mode).
DynamicRangeContext makeRenderContext(DynamicRangeMode mode);
// Width and height truncated toward zero; a size that is not finite or does not
// fit 32 bits gives 0, which no buffer accepts.
DynamicRangePixelBufferAttributes makePixelBufferAttributes(DynamicRangeMode mode, double width, double height);

}  // namespace medley
