#include "Medley/Sources/Screen/ScreenImage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>
#include <libyuv/scale_uv.h>

namespace medley {
namespace {

// Saturates: a scaled size past the int range is refused by the buffers anyway.
int samples(double v) { return std::isfinite(v) && v > 0 ? static_cast<int>(std::lround(std::min(v, 1e9))) : 0; }

// Bilinear samples of a w x h window starting at (offX, offY) of the source
// scaled by (ratioX, ratioY), without making the scaled whole.
template <typename Sample = uint8_t>
void resampleWindow(const platform::PixelBuffer::Plane& src, int channels, double ratioX, double ratioY, int offX,
                    int offY, uint8_t* dst, size_t dstStride, int w, int h) {
  // 16-bit samples weighted twice by 256 need more than 32 bits.
  using Sum = std::conditional_t<sizeof(Sample) == 1, int, int64_t>;
  struct Tap {
    int a, b, f;  // neighbours and the second one's weight in 1/256
  };
  auto tap = [](double at, int size) {
    at = std::clamp(at, 0.0, static_cast<double>(size - 1));
    const int a = static_cast<int>(at);
    return Tap{a, std::min(a + 1, size - 1), static_cast<int>(std::lround((at - a) * 256))};
  };
  std::vector<Tap> columns(static_cast<size_t>(w));
  for (int x = 0; x < w; ++x) columns[x] = tap((x + offX + 0.5) / ratioX - 0.5, src.width);
  for (int y = 0; y < h; ++y) {
    const Tap row = tap((y + offY + 0.5) / ratioY - 0.5, src.height);
    const auto* top = reinterpret_cast<const Sample*>(src.data + static_cast<size_t>(row.a) * src.bytesPerRow);
    const auto* bottom = reinterpret_cast<const Sample*>(src.data + static_cast<size_t>(row.b) * src.bytesPerRow);
    auto* out = reinterpret_cast<Sample*>(dst + static_cast<size_t>(y) * dstStride);
    for (int x = 0; x < w; ++x) {
      const Tap& c = columns[x];
      for (int k = 0; k < channels; ++k) {
        const Sum t = Sum{top[c.a * channels + k]} * (256 - c.f) + Sum{top[c.b * channels + k]} * c.f;
        const Sum b = Sum{bottom[c.a * channels + k]} * (256 - c.f) + Sum{bottom[c.b * channels + k]} * c.f;
        out[x * channels + k] = static_cast<Sample>((t * (256 - row.f) + b * row.f + 32768) >> 16);
      }
    }
  }
}

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
  if (!platform::PixelBuffer::isValidSize(w, h)) return nullptr;
  // Scaling the whole and then cutting costs memory in the scaled size, which
  // an object far larger than the frame makes huge: then only the cut is made.
  const bool windowOnly = !whole && (static_cast<double>(fullW) * fullH > 4.0 * w * h ||
                                     !platform::PixelBuffer::isValidSize(fullW, fullH));

  // 10-bit sources (HLG, composed as they are) keep their samples' width.
  const bool tenBit = source_->format() == platform::PixelFormat::p010;
  const auto planarFormat = tenBit ? platform::PixelFormat::p010 : platform::PixelFormat::nv12VideoRange;
  const int sampleBytes = tenBit ? 2 : 1;
  std::shared_ptr<ScreenPicture> picture;
  if (windowOnly && source_->isPlanar()) {
    const int ex = cx & ~1, ey = cy & ~1;
    picture = std::make_shared<ScreenPicture>();
    picture->planes = platform::PixelBuffer::make(w, h, planarFormat);
    if (!picture->planes) return nullptr;
    const auto sY = source_->plane(0), sUV = source_->plane(1);
    const auto oY = picture->planes->plane(0), oUV = picture->planes->plane(1);
    const double rx = static_cast<double>(fullW) / source_->width(), ry = static_cast<double>(fullH) / source_->height();
    if (tenBit) {
      resampleWindow<uint16_t>(sY, 1, rx, ry, ex, ey, oY.data, oY.bytesPerRow, w, h);
      resampleWindow<uint16_t>(sUV, 2, rx, ry, ex / 2, ey / 2, oUV.data, oUV.bytesPerRow, oUV.width, oUV.height);
    } else {
      resampleWindow(sY, 1, rx, ry, ex, ey, oY.data, oY.bytesPerRow, w, h);
      resampleWindow(sUV, 2, rx, ry, ex / 2, ey / 2, oUV.data, oUV.bytesPerRow, oUV.width, oUV.height);
    }
  } else if (windowOnly) {
    std::vector<uint8_t> bgra(static_cast<size_t>(w) * h * 4);
    resampleWindow(source_->plane(0), 4, static_cast<double>(fullW) / source_->width(),
                   static_cast<double>(fullH) / source_->height(), cx, cy, bgra.data(), static_cast<size_t>(w) * 4, w,
                   h);
    picture = ScreenPicture::fromBGRA(bgra.data(), w * 4, w, h, false, std::move(reuse));
    if (!picture) return nullptr;
  } else if (source_->isPlanar()) {
    // Chroma stays aligned only when the crop starts on even samples.
    const int ex = cx & ~1, ey = cy & ~1;
    auto scaledPlanes = whole && reuse && reuse->width() == w && reuse->height() == h &&
                                reuse->format() == planarFormat
                            ? reuse
                            : platform::PixelBuffer::make(fullW, fullH, planarFormat);
    if (!scaledPlanes) return nullptr;
    const auto sY = source_->plane(0), sUV = source_->plane(1);
    const auto dY = scaledPlanes->plane(0), dUV = scaledPlanes->plane(1);
    if (tenBit) {
      // Strides in samples.
      libyuv::ScalePlane_16(reinterpret_cast<const uint16_t*>(sY.data), static_cast<int>(sY.bytesPerRow / 2), sY.width,
                            sY.height, reinterpret_cast<uint16_t*>(dY.data), static_cast<int>(dY.bytesPerRow / 2),
                            dY.width, dY.height, libyuv::kFilterBilinear);
      // The library scales 16-bit pairs only for some ratios; the others are resampled here.
      if (libyuv::UVScale_16(reinterpret_cast<const uint16_t*>(sUV.data), static_cast<int>(sUV.bytesPerRow / 2),
                             sUV.width, sUV.height, reinterpret_cast<uint16_t*>(dUV.data),
                             static_cast<int>(dUV.bytesPerRow / 2), dUV.width, dUV.height,
                             libyuv::kFilterBilinear) != 0)
        resampleWindow<uint16_t>(sUV, 2, static_cast<double>(dUV.width) / sUV.width,
                                 static_cast<double>(dUV.height) / sUV.height, 0, 0, dUV.data, dUV.bytesPerRow,
                                 dUV.width, dUV.height);
    } else {
      libyuv::ScalePlane(sY.data, static_cast<int>(sY.bytesPerRow), sY.width, sY.height, dY.data,
                         static_cast<int>(dY.bytesPerRow), dY.width, dY.height, libyuv::kFilterBilinear);
      libyuv::UVScale(sUV.data, static_cast<int>(sUV.bytesPerRow), sUV.width, sUV.height, dUV.data,
                      static_cast<int>(dUV.bytesPerRow), dUV.width, dUV.height, libyuv::kFilterBilinear);
    }
    picture = std::make_shared<ScreenPicture>();
    if (whole) {
      picture->planes = std::move(scaledPlanes);
    } else {
      picture->planes = platform::PixelBuffer::make(w, h, planarFormat);
      if (!picture->planes) return nullptr;
      const auto oY = picture->planes->plane(0), oUV = picture->planes->plane(1);
      for (int r = 0; r < h; ++r)
        std::memcpy(oY.data + r * oY.bytesPerRow, dY.data + (ey + r) * dY.bytesPerRow + ex * sampleBytes,
                    static_cast<size_t>(w) * sampleBytes);
      for (int r = 0; r < oUV.height; ++r)
        std::memcpy(oUV.data + r * oUV.bytesPerRow, dUV.data + (ey / 2 + r) * dUV.bytesPerRow + ex * sampleBytes,
                    static_cast<size_t>(oUV.width) * 2 * sampleBytes);
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
