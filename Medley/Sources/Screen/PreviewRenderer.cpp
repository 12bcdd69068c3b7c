#include "Medley/Sources/Screen/PreviewRenderer.h"

#include <algorithm>

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include "Medley/Sources/Screen/PreviewGeometry.h"
#include "Medley/Sources/Screen/ScreenImage.h"
#include "Medley/Sources/Screen/ScreenPicture.h"

namespace medley {

bool PreviewRenderer::present(PreviewSurface& surface, const platform::PixelBufferRef& picture,
                              const LayerVideoGravity& gravity, bool mirrored,
                              const std::vector<std::shared_ptr<VideoEffect>>& effects, const ScreenColor& background) {
  const int dw = surface.width(), dh = surface.height();
  if (dw <= 0 || dh <= 0) return false;
  if (!canvas_ || canvas_->width() != dw || canvas_->height() != dh)
    canvas_ = platform::PixelBuffer::make(dw, dh, platform::PixelFormat::nv12VideoRange);
  if (!canvas_) return false;
  fillColor(*canvas_, background.red, background.green, background.blue, background.alpha);
  if (picture && picture->isPlanar()) {
    ScreenImage image(picture);
    for (const auto& effect : effects) image = effect->apply(image);
    const ScreenRect extent = image.extent();
    const PreviewPlacement p = placePreview(gravity, dw, dh, extent.width, extent.height);
    if (p.sx > 0 && p.sy > 0) {
      const ScreenRect at = p.rect(extent.width, extent.height);
      const ScreenImage scaled = image.scaled(p.sx, p.sy);
      const ScreenRect e = scaled.extent();
      // Only the part inside the drawable is made (aspect fill cuts the overhang).
      const double cx = std::max(0.0, -at.x), cy = std::max(0.0, -at.y);
      if (auto made = scaled.cropped({e.x + cx, e.y + cy, static_cast<double>(dw), static_cast<double>(dh)}).render())
        made->drawOver(*canvas_, std::max(0.0, at.x), std::max(0.0, at.y));
    }
  }
  auto bgra = platform::PixelBuffer::make(dw, dh, platform::PixelFormat::bgra);
  if (!bgra) return false;
  const auto y = canvas_->plane(0), uv = canvas_->plane(1), out = bgra->plane(0);
  libyuv::NV12ToARGBMatrix(y.data, static_cast<int>(y.bytesPerRow), uv.data, static_cast<int>(uv.bytesPerRow),
                           out.data, static_cast<int>(out.bytesPerRow), &libyuv::kYuvH709Constants, dw, dh);
  if (mirrored) {
    auto flipped = platform::PixelBuffer::make(dw, dh, platform::PixelFormat::bgra);
    if (flipped) {
      libyuv::ARGBMirror(out.data, static_cast<int>(out.bytesPerRow), flipped->plane(0).data,
                         static_cast<int>(flipped->plane(0).bytesPerRow), dw, dh);
      bgra = std::move(flipped);
    }
  }
  return surface.present(bgra);
}

}  // namespace medley
