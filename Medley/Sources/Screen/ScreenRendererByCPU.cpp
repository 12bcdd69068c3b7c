#include "Medley/Sources/Screen/ScreenRendererByCPU.h"

#include "Medley/Sources/Screen/ScreenObject.h"

namespace medley {
namespace {

bool isEightBitBiPlanar(const platform::PixelBuffer& b) {
  return b.format() == platform::PixelFormat::nv12VideoRange || b.format() == platform::PixelFormat::nv12FullRange;
}

void widenInto(const platform::PixelBuffer& src, platform::PixelBuffer& dst) {
  for (int p = 0; p < 2; ++p) {
    const auto s = src.plane(p), d = dst.plane(p);
    const int samples = s.width * (p == 0 ? 1 : 2);
    for (int row = 0; row < s.height && row < d.height; ++row) {
      const uint8_t* in = s.data + static_cast<size_t>(row) * s.bytesPerRow;
      auto* out = reinterpret_cast<uint16_t*>(d.data + static_cast<size_t>(row) * d.bytesPerRow);
      for (int i = 0; i < samples; ++i) out[i] = static_cast<uint16_t>(in[i] << 8);
    }
  }
}

}  // namespace

ScreenRendererByCPU::ScreenRendererByCPU(DynamicRangeMode dynamicRangeMode) : dynamicRangeMode_(dynamicRangeMode) {}

void ScreenRendererByCPU::setBackgroundColor(const ScreenColor& color) {
  if (color == backgroundColor_) return;
  backgroundColor_ = color;
  backgroundFill_ = color;
}

ScreenPictureRef ScreenRendererByCPU::picture(const ScreenObject& object) const {
  const auto it = images_.find(object.weak_from_this());
  return it == images_.end() ? nullptr : it->second;
}

void ScreenRendererByCPU::layout(ScreenObject& object) {
  auto image = object.makeImage(*this);
  if (!image) return;  // the picture of an earlier layout stays
  const ScreenRect& b = object.bounds();
  // What reaches past the bounds (aspect fill) is clipped here.
  ScreenImage clipped = image->cropped({image->extent().x, image->extent().y, b.width, b.height});
  if (object.cornerRadius() > 0) {
    if (auto mask = roundedRectangleFactory_.makeMask(b.size(), object.cornerRadius())) clipped = clipped.masked(mask);
  }
  const std::weak_ptr<const ScreenObject> key = object.weak_from_this();
  platform::PixelBufferRef reuse;
  if (auto it = images_.find(key); it != images_.end() && it->second.use_count() == 1 && it->second->planes &&
                                   it->second->planes.use_count() == 1) {
    reuse = it->second->planes;
    it->second.reset();
  }
  auto made = clipped.render(std::move(reuse));
  if (made)
    images_[key] = std::move(made);
  else
    images_.erase(key);
}

void ScreenRendererByCPU::draw(ScreenObject& object) {
  if (!canvas_) return;
  const auto it = images_.find(object.weak_from_this());
  if (it == images_.end() || !it->second) return;
  it->second->drawOver(*canvas_, object.bounds().x, object.bounds().y);
}

void ScreenRendererByCPU::setTarget(platform::PixelBufferRef pixelBuffer) {
  if (!pixelBuffer) return;
  for (auto it = images_.begin(); it != images_.end();) it = it->first.expired() ? images_.erase(it) : std::next(it);
  pixelBuffer_ = std::move(pixelBuffer);
  if (isEightBitBiPlanar(*pixelBuffer_)) {
    canvas_ = pixelBuffer_;
  } else if (!canvas_ || canvas_ == pixelBuffer_ || canvas_->width() != pixelBuffer_->width() ||
             canvas_->height() != pixelBuffer_->height()) {
    canvas_ = platform::PixelBuffer::make(pixelBuffer_->width(), pixelBuffer_->height(),
                                          platform::PixelFormat::nv12VideoRange);
  }
  if (canvas_) fillColor(*canvas_, backgroundFill_.red, backgroundFill_.green, backgroundFill_.blue, backgroundFill_.alpha);
}

void ScreenRendererByCPU::render() {
  if (!pixelBuffer_) return;
  if (canvas_ && canvas_ != pixelBuffer_ && pixelBuffer_->format() == platform::PixelFormat::p010)
    widenInto(*canvas_, *pixelBuffer_);
  if (dynamicRangeMode_ == DynamicRangeMode::hdr) {
    pixelBuffer_->setColorAttachments({platform::YCbCrMatrix::itu_r_2020, platform::ColorPrimaries::itu_r_2020,
                                       platform::TransferFunction::itu_r_2100_hlg,
                                       platform::AttachmentMode::shouldPropagate});
  }
}

}  // namespace medley
