#include "Medley/Sources/Codec/VideoPictureConverter.h"

#include <algorithm>
#include <cstring>

#include <libyuv.h>

#include "Platform/Media/PixelConversion.h"

namespace medley {

using platform::PixelBuffer;
using platform::PixelBufferRef;
using platform::PixelFormat;

namespace {

bool isNV12(PixelFormat f) { return f == PixelFormat::nv12VideoRange || f == PixelFormat::nv12FullRange; }

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

int even(int v) { return v & ~1; }

// Scales the NV12 region `from` of `source` into the region `to` of `destination`.
bool scaleNV12(const PixelBuffer& source, Rect from, PixelBuffer& destination, Rect to) {
    const auto sy = source.plane(0), suv = source.plane(1);
    const auto dy = destination.plane(0), duv = destination.plane(1);
    const std::uint8_t* srcY = sy.data + static_cast<std::size_t>(from.y) * sy.bytesPerRow + from.x;
    const std::uint8_t* srcUV = suv.data + static_cast<std::size_t>(from.y / 2) * suv.bytesPerRow + from.x;
    std::uint8_t* dstY = dy.data + static_cast<std::size_t>(to.y) * dy.bytesPerRow + to.x;
    std::uint8_t* dstUV = duv.data + static_cast<std::size_t>(to.y / 2) * duv.bytesPerRow + to.x;
    if (from.width == to.width && from.height == to.height) {
        return libyuv::NV12Copy(srcY, static_cast<int>(sy.bytesPerRow), srcUV, static_cast<int>(suv.bytesPerRow), dstY,
                                static_cast<int>(dy.bytesPerRow), dstUV, static_cast<int>(duv.bytesPerRow), to.width,
                                to.height) == 0;
    }
    return libyuv::NV12Scale(srcY, static_cast<int>(sy.bytesPerRow), srcUV, static_cast<int>(suv.bytesPerRow),
                             from.width, from.height, dstY, static_cast<int>(dy.bytesPerRow), dstUV,
                             static_cast<int>(duv.bytesPerRow), to.width, to.height, libyuv::kFilterBilinear) == 0;
}

}  // namespace

VideoPictureConverter::VideoPictureConverter(int width, int height, bool tenBit, ScalingMode mode)
    : width_(width), height_(height), tenBit_(tenBit), mode_(mode) {}

PixelBufferRef VideoPictureConverter::makeOutput() {
    if (!pool_) {
        pool_ = platform::PixelBufferPool::make(width_, height_, PixelFormat::nv12VideoRange, 2);
        if (!pool_) return nullptr;
    }
    return pool_->makePixelBuffer();
}

PixelBufferRef VideoPictureConverter::toNV12(const PixelBuffer& source) {
    if (!stagingPool_ || stagingPool_->width() != source.width() || stagingPool_->height() != source.height()) {
        stagingPool_ = platform::PixelBufferPool::make(source.width(), source.height(), PixelFormat::nv12VideoRange, 1);
        if (!stagingPool_) return nullptr;
    }
    auto out = stagingPool_->makePixelBuffer();
    if (!out) return nullptr;
    const auto dy = out->plane(0), duv = out->plane(1);
    if (source.format() == PixelFormat::bgra) {
        // The encoders tag every 8-bit stream BT.709 video range: convert to exactly that.
        const auto s = source.plane(0);
        platform::convertBGRAToBT709NV12(s.data, static_cast<int>(s.bytesPerRow), source.width(), source.height(),
                                         dy.data, static_cast<int>(dy.bytesPerRow), duv.data,
                                         static_cast<int>(duv.bytesPerRow));
        return out;
    }
    if (source.format() == PixelFormat::p010) {
        const auto sy = source.plane(0), suv = source.plane(1);
        platform::convertP010ToNV12(reinterpret_cast<const std::uint16_t*>(sy.data), static_cast<int>(sy.bytesPerRow),
                                    reinterpret_cast<const std::uint16_t*>(suv.data), static_cast<int>(suv.bytesPerRow),
                                    source.width(), source.height(), dy.data, static_cast<int>(dy.bytesPerRow),
                                    duv.data, static_cast<int>(duv.bytesPerRow));
        return out;
    }
    return nullptr;
}

PixelBufferRef VideoPictureConverter::convert(const PixelBufferRef& source) {
    if (!source) return nullptr;
    const bool sameSize = source->width() == width_ && source->height() == height_;
    if (tenBit_) {
        return source->format() == PixelFormat::p010 && sameSize ? source : nullptr;
    }
    if (isNV12(source->format()) && sameSize) return source;

    PixelBufferRef nv12 = source;
    if (!isNV12(source->format())) {
        nv12 = toNV12(*source);
        if (!nv12) return nullptr;
        if (sameSize) return nv12;
    }

    auto out = makeOutput();
    if (!out) return nullptr;
    const int sw = even(nv12->width()), sh = even(nv12->height());
    if (sw <= 0 || sh <= 0) return nullptr;
    Rect from{0, 0, sw, sh};
    Rect to{0, 0, width_, height_};
    const double sourceAspect = static_cast<double>(sw) / sh;
    const double targetAspect = static_cast<double>(width_) / height_;
    switch (mode_) {
        case ScalingMode::normal:
        case ScalingMode::cropSourceToCleanAperture:
            break;
        case ScalingMode::letterbox:
            out->fillBlack();
            if (sourceAspect > targetAspect) {
                to.height = std::max(2, even(static_cast<int>(width_ / sourceAspect)));
                to.y = even((height_ - to.height) / 2);
            } else {
                to.width = std::max(2, even(static_cast<int>(height_ * sourceAspect)));
                to.x = even((width_ - to.width) / 2);
            }
            break;
        case ScalingMode::trim:
            if (sourceAspect > targetAspect) {
                from.width = std::max(2, even(static_cast<int>(sh * targetAspect)));
                from.x = even((sw - from.width) / 2);
            } else {
                from.height = std::max(2, even(static_cast<int>(sw / targetAspect)));
                from.y = even((sh - from.height) / 2);
            }
            break;
    }
    if (!scaleNV12(*nv12, from, *out, to)) return nullptr;
    out->setColorAttachments(source->colorAttachments().propagated());
    return out;
}

}  // namespace medley
