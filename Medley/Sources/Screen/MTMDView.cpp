#include "Medley/Sources/Screen/MTMDView.h"

#include <algorithm>

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include "Medley/Sources/Screen/PreviewGeometry.h"
#include "Medley/Sources/Screen/ScreenImage.h"
#include "Platform/Concurrency/Actor.h"

namespace medley {

MTMDView::MTMDView(std::shared_ptr<PreviewSurface> surface, std::shared_ptr<platform::Runtime> runtime)
    : surface_(std::move(surface)), main_(platform::mainActor(runtime)) {}

bool MTMDView::registerVideoEffect(const std::shared_ptr<VideoEffect>& effect) {
  if (!effect || std::find(effects_.begin(), effects_.end(), effect) != effects_.end()) return false;
  effects_.push_back(effect);
  return true;
}

bool MTMDView::unregisterVideoEffect(const std::shared_ptr<VideoEffect>& effect) {
  const auto it = std::find(effects_.begin(), effects_.end(), effect);
  if (it == effects_.end()) return false;
  effects_.erase(it);
  return true;
}

platform::Async<std::optional<uint8_t>> MTMDView::videoTrackId() {
  co_await platform::hop(main_);
  co_return tracks_.videoTrackId;
}

platform::Async<std::optional<uint8_t>> MTMDView::audioTrackId() {
  co_await platform::hop(main_);
  co_return tracks_.audioTrackId;
}

platform::Async<void> MTMDView::selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) {
  co_await platform::hop(main_);
  if (mediaType == platform::MediaType::video) tracks_.videoTrackId = id;
}

void MTMDView::mixer(MediaMixer&, const platform::SampleBufferRef& sampleBuffer) { handOff(sampleBuffer); }
void MTMDView::stream(StreamConvertible&, const platform::SampleBufferRef& sampleBuffer) { handOff(sampleBuffer); }

void MTMDView::handOff(const platform::SampleBufferRef& sampleBuffer) {
  std::weak_ptr<MTMDView> weak = weak_from_this();
  main_->async([weak, sampleBuffer] {
    auto self = weak.lock();
    if (!self) return;
    self->displayImage_ = sampleBuffer ? sampleBuffer->imageBuffer() : nullptr;
    if (self->displayImage_ && !self->displayImage_->isPlanar()) self->displayImage_ = nullptr;
    self->setNeedsDisplay();
  });
}

void MTMDView::setNeedsDisplay() {
  // A burst of frames between two redraws shows only the last one.
  if (drawPending_) return;
  drawPending_ = true;
  std::weak_ptr<MTMDView> weak = weak_from_this();
  main_->async([weak] {
    if (auto self = weak.lock()) {
      self->drawPending_ = false;
      self->draw();
    }
  });
}

void MTMDView::draw() {
  const int dw = surface_->width(), dh = surface_->height();
  if (dw <= 0 || dh <= 0) return;
  if (!canvas_ || canvas_->width() != dw || canvas_->height() != dh)
    canvas_ = platform::PixelBuffer::make(dw, dh, platform::PixelFormat::nv12VideoRange);
  if (!canvas_) return;
  canvas_->fillBlack();
  if (displayImage_) {
    ScreenImage image(displayImage_);
    for (const auto& effect : effects_) image = effect->apply(image);
    const ScreenRect extent = image.extent();
    const PreviewPlacement p = placePreview(videoGravity_, dw, dh, extent.width, extent.height);
    if (p.sx > 0 && p.sy > 0) {
      const ScreenRect at = p.rect(extent.width, extent.height);
      const ScreenImage scaled = image.scaled(p.sx, p.sy);
      const ScreenRect e = scaled.extent();
      // Only the part inside the drawable is made (aspect fill cuts the overhang).
      const double cx = std::max(0.0, -at.x), cy = std::max(0.0, -at.y);
      if (auto picture = scaled.cropped({e.x + cx, e.y + cy, static_cast<double>(dw), static_cast<double>(dh)}).render())
        picture->drawOver(*canvas_, std::max(0.0, at.x), std::max(0.0, at.y));
    }
  }
  auto bgra = platform::PixelBuffer::make(dw, dh, platform::PixelFormat::bgra);
  if (!bgra) return;
  const auto y = canvas_->plane(0), uv = canvas_->plane(1), out = bgra->plane(0);
  libyuv::NV12ToARGBMatrix(y.data, static_cast<int>(y.bytesPerRow), uv.data, static_cast<int>(uv.bytesPerRow),
                           out.data, static_cast<int>(out.bytesPerRow), &libyuv::kYuvH709Constants, dw, dh);
  if (isMirrored_) {
    auto flipped = platform::PixelBuffer::make(dw, dh, platform::PixelFormat::bgra);
    if (flipped) {
      libyuv::ARGBMirror(out.data, static_cast<int>(out.bytesPerRow), flipped->plane(0).data,
                         static_cast<int>(flipped->plane(0).bytesPerRow), dw, dh);
      bgra = std::move(flipped);
    }
  }
  surface_->present(bgra);
}

}  // namespace medley
