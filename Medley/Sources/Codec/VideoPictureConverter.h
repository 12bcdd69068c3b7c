#pragma once

#include <memory>

#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/PixelBufferPool.h"

namespace medley {

// Fits any picture the pipelines exchange (NV12, BGRA, P010) to an encoder's
// size and layout. Pictures that already fit pass through untouched.
class VideoPictureConverter {
public:
    enum class ScalingMode { normal, letterbox, cropSourceToCleanAperture, trim };

    // `tenBit`: the output is P010 (only same-size P010 input fits); else NV12.
    VideoPictureConverter(int width, int height, bool tenBit, ScalingMode mode);

    void setScalingMode(ScalingMode mode) { mode_ = mode; }
    ScalingMode scalingMode() const { return mode_; }

    // The picture to encode, or nullptr for a layout that cannot be converted.
    platform::PixelBufferRef convert(const platform::PixelBufferRef& source);

private:
    platform::PixelBufferRef makeOutput();
    platform::PixelBufferRef toNV12(const platform::PixelBuffer& source);

    int width_;
    int height_;
    bool tenBit_;
    ScalingMode mode_;
    std::shared_ptr<platform::PixelBufferPool> pool_;
    std::shared_ptr<platform::PixelBufferPool> stagingPool_;
};

}  // namespace medley
