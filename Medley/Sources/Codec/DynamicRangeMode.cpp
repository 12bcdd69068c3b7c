#include "Medley/Sources/Codec/DynamicRangeMode.h"

#include <cmath>

namespace medley {

const std::optional<DynamicRangeColorSpace>& colorSpace(DynamicRangeMode mode) {
    static const std::optional<DynamicRangeColorSpace> sdr =
        DynamicRangeColorSpace{"ITUR_709", platform::ColorAttachments::bt709()};
    static const std::optional<DynamicRangeColorSpace> hdr = DynamicRangeColorSpace{
        "ITUR_2100_HLG",
        {platform::YCbCrMatrix::itu_r_2020, platform::ColorPrimaries::itu_r_2020,
         platform::TransferFunction::itu_r_2100_hlg, platform::AttachmentMode::shouldPropagate}};
    return mode == DynamicRangeMode::hdr ? hdr : sdr;
}

std::optional<DynamicRangeContextOptions> contextOptions(DynamicRangeMode mode) {
    const auto& space = colorSpace(mode);
    if (!space) return std::nullopt;
    return DynamicRangeContextOptions{"RGBAh", *space, *space};
}

platform::PixelFormat pixelFormat(DynamicRangeMode mode) {
    return mode == DynamicRangeMode::hdr ? platform::PixelFormat::p010 : platform::PixelFormat::nv12VideoRange;
}

DynamicRangeContext makeRenderContext(DynamicRangeMode mode) { return {mode, contextOptions(mode)}; }

namespace {
std::int32_t truncated(double v) {
    return std::isfinite(v) && v > -2147483649.0 && v < 2147483648.0 ? static_cast<std::int32_t>(v) : 0;
}
}  // namespace

DynamicRangePixelBufferAttributes makePixelBufferAttributes(DynamicRangeMode mode, double width, double height) {
    return {platform::fourCC(pixelFormat(mode)), true, truncated(width), truncated(height)};
}

}  // namespace medley
