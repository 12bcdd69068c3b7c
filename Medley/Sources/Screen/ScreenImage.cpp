#include "Medley/Sources/Screen/ScreenImage.h"

#include <cmath>
#include <cstring>
#include <vector>

#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>
#include <libyuv/scale_uv.h>

namespace medley {
namespace {

int samples(double v) { return std::isfinite(v) && v > 0 ? static_cast<int>(std::lround(v)) : 0; }

}  // namespace

ScreenImage::ScreenImage(platform::PixelBufferRef source) : source_(std::move(source)) {
  if (source_) crop_ = {0, 0, static_cast<double>(source_->width()), static_cast<double>(source_->height())};
}

ScreenRect ScreenImage::extent() const { return crop_; }

ScreenImage ScreenImage::scaled(double sx, double sy) const {
  ScreenImage out = *this;
  out.scaleX_ *= sx;
  out.scaleY_ *= sy;
  out.crop_ = {crop_.x * sx, crop_.y * sy, crop_.width * sx, crop_.height * sy};
  if (out.mask_) out.mask_.reset();  // a mask laid before a scale does not follow it
  return out;
}

ScreenImage ScreenImage::cropped(const ScreenRect& rect) const {
  ScreenImage out = *this;
  out.crop_ = crop_.intersection(rect);
  return out;
}

ScreenImage ScreenImage::masked(AlphaPlanesRef mask) const {
  ScreenImage out = *this;
  out.mask_ = mask_ && mask ? AlphaPlanes::product(*mask_, *mask) : std::move(mask);
  return out;
}

std::shared_ptr<ScreenPicture> ScreenImage::render(platform::PixelBufferRef reuse) const {
  if (!source_) return nullptr;
  const int fullW = samples(source_->width() * scaleX_), fullH = samples(source_->height() * scaleY_);
  const int cx = samples(crop_.x), cy = samples(crop_.y);
  const int w = std::min(samples(crop_.width), fullW - cx), h = std::min(samples(crop_.height), fullH - cy);
  if (fullW <= 0 || fullH <= 0 || w <= 0 || h <= 0) return nullptr;
  const bool whole = cx == 0 && cy == 0 && w == fullW && h == fullH;

  std::shared_ptr<ScreenPicture> picture;
  if (source_->isPlanar()) {
    // Chroma stays aligned only when the crop starts on even samples.
    const int ex = cx & ~1, ey = cy & ~1;
    auto scaledPlanes = whole && reuse && reuse->width() == w && reuse->height() == h &&
                                reuse->format() == platform::PixelFormat::nv12VideoRange
                            ? reuse
                            : platform::PixelBuffer::make(fullW, fullH, platform::PixelFormat::nv12VideoRange);
    if (!scaledPlanes) return nullptr;
    const auto sY = source_->plane(0), sUV = source_->plane(1);
    const auto dY = scaledPlanes->plane(0), dUV = scaledPlanes->plane(1);
    libyuv::ScalePlane(sY.data, static_cast<int>(sY.bytesPerRow), sY.width, sY.height, dY.data,
                       static_cast<int>(dY.bytesPerRow), dY.width, dY.height, libyuv::kFilterBilinear);
    libyuv::UVScale(sUV.data, static_cast<int>(sUV.bytesPerRow), sUV.width, sUV.height, dUV.data,
                    static_cast<int>(dUV.bytesPerRow), dUV.width, dUV.height, libyuv::kFilterBilinear);
    picture = std::make_shared<ScreenPicture>();
    if (whole) {
      picture->planes = std::move(scaledPlanes);
    } else {
      picture->planes = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12VideoRange);
      if (!picture->planes) return nullptr;
      const auto oY = picture->planes->plane(0), oUV = picture->planes->plane(1);
      for (int r = 0; r < h; ++r)
        std::memcpy(oY.data + r * oY.bytesPerRow, dY.data + (ey + r) * dY.bytesPerRow + ex, w);
      for (int r = 0; r < oUV.height; ++r)
        std::memcpy(oUV.data + r * oUV.bytesPerRow, dUV.data + (ey / 2 + r) * dUV.bytesPerRow + ex,
                    static_cast<size_t>(oUV.width) * 2);
    }
  } else {
    const auto s = source_->plane(0);
    std::vector<uint8_t> scaledBGRA(static_cast<size_t>(fullW) * fullH * 4);
    libyuv::ARGBScale(s.data, static_cast<int>(s.bytesPerRow), s.width, s.height, scaledBGRA.data(), fullW * 4, fullW,
                      fullH, libyuv::kFilterBilinear);
    picture = ScreenPicture::fromBGRA(scaledBGRA.data() + (static_cast<size_t>(cy) * fullW + cx) * 4, fullW * 4, w, h,
                                      false, std::move(reuse));
    if (!picture) return nullptr;
  }
  if (mask_) {
    if (mask_->width == w && mask_->height == h) {
      picture->alpha = picture->alpha ? AlphaPlanesRef(AlphaPlanes::product(*picture->alpha, *mask_)) : mask_;
    } else {
      // A mask of another size covers what it overlaps; the rest is transparent.
      std::vector<uint8_t> luma(static_cast<size_t>(w) * h, 0);
      for (int r = 0; r < std::min(h, mask_->height); ++r)
        std::memcpy(&luma[static_cast<size_t>(r) * w], &mask_->luma[static_cast<size_t>(r) * mask_->width],
                    std::min(w, mask_->width));
      auto fitted = AlphaPlanes::fromLuma(w, h, std::move(luma));
      picture->alpha = picture->alpha ? AlphaPlanesRef(AlphaPlanes::product(*picture->alpha, *fitted)) : fitted;
    }
  }
  return picture;
}

}  // namespace medley
