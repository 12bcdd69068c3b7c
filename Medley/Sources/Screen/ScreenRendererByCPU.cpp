#include "Medley/Sources/Screen/ScreenRendererByCPU.h"

#include <cmath>
#include <utility>

#include "Medley/Sources/Codec/HLGConversion.h"
#include "Medley/Sources/Screen/ScreenObject.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {
namespace {

bool isEightBitBiPlanar(const platform::PixelBuffer& b) {
  return b.format() == platform::PixelFormat::nv12VideoRange || b.format() == platform::PixelFormat::nv12FullRange;
}

bool isTenBit(const platform::PixelBuffer& b) { return b.format() == platform::PixelFormat::p010; }

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

// True when an image's samples are its source's as they are: video-range
// 4:2:0, whole, unscaled and uncovered.
bool isWholeSource(const ScreenImage& image) {
  const auto& source = image.source();
  if (!source || source->format() != platform::PixelFormat::nv12VideoRange) return false;
  const ScreenRect whole{0, 0, static_cast<double>(source->width()), static_cast<double>(source->height())};
  return image.scaleX() == 1 && image.scaleY() == 1 && !image.mask() && image.extent() == whole;
}

// The part of an object's bounds the frame shows, in the object's coordinates;
// empty when none.
ScreenRect visibleWindow(const ScreenRect& b, const ScreenRect& frame) {
  if (!std::isfinite(b.x) || !std::isfinite(b.y) || !std::isfinite(b.width) || !std::isfinite(b.height)) return {};
  // From the even sample where the picture is drawn, so chroma stays aligned.
  const double px = std::floor(b.x / 2) * 2, py = std::floor(b.y / 2) * 2;
  const double x = std::max(0.0, -px), y = std::max(0.0, -py);
  const double w = std::min(b.width, frame.width - px) - x, h = std::min(b.height, frame.height - py) - y;
  if (!(w > 0) || !(h > 0)) return {};
  return {x, y, w, h};
}

}  // namespace

ScreenRendererByCPU::ScreenRendererByCPU(DynamicRangeMode dynamicRangeMode)
    : dynamicRangeMode_(dynamicRangeMode), context_(makeRenderContext(dynamicRangeMode)) {}

void ScreenRendererByCPU::setBackgroundColor(const ScreenColor& color) {
  if (color == backgroundColor_) return;
  backgroundColor_ = color;
  backgroundFill_ = color;
}

ScreenPictureRef ScreenRendererByCPU::picture(const ScreenObject& object) const {
  const auto it = images_.find(object.weak_from_this());
  return it == images_.end() ? nullptr : it->second.picture;
}

void ScreenRendererByCPU::layout(ScreenObject& object) {
  const std::weak_ptr<const ScreenObject> key = object.weak_from_this();
  try {
    auto image = object.makeImage(*this);
    if (!image) return;  // the picture of an earlier layout stays
    const ScreenRect& b = object.bounds();
    // Only what the frame shows is made, so memory follows the frame's size,
    // not the object's; what reaches past the bounds (aspect fill) is clipped too.
    const ScreenRect window = visibleWindow(b, bounds_);
    if (window.width <= 0) {
      images_.erase(key);
      return;
    }
    const bool whole = window == ScreenRect{0, 0, b.width, b.height};
    const ScreenRect e = image->extent();
    ScreenImage clipped = image->cropped({e.x + window.x, e.y + window.y, window.width, window.height});
    if (object.cornerRadius() > 0) {
      auto mask = whole ? roundedRectangleFactory_.makeMask(b.size(), object.cornerRadius())
                        : roundedRectangleFactory_.makeMask(b.size(), object.cornerRadius(), window);
      if (mask) clipped = clipped.masked(mask);
    }
    platform::PixelBufferRef reuse, staging;
    if (auto it = images_.find(key); it != images_.end()) {
      // A picture still waiting to be converted holds its source's samples, never ours to write.
      if (!it->second.convertsAtDraw && it->second.picture.use_count() == 1 && it->second.picture->planes &&
          it->second.picture->planes.use_count() == 1) {
        reuse = it->second.picture->planes;
        it->second.picture.reset();
      }
      staging = std::move(it->second.staging);
    }
    // A picture converted up is made in 8-bit samples first, then into the kept
    // 10-bit ones; one that is its source as it is (a camera filling its place)
    // is converted from the source itself, when drawn: straight into its place
    // on the canvas, sparing a 10-bit picture and its copy.
    const bool convertsUp = composesHLG_ && clipped.source() && !isTenBit(*clipped.source());
    std::shared_ptr<ScreenPicture> made;
    bool convertsAtDraw = false;
    if (convertsUp && isWholeSource(clipped)) {
      made = std::make_shared<ScreenPicture>();
      made->planes = clipped.source();
      convertsAtDraw = true;
    } else {
      made = convertsUp ? clipped.render(std::move(staging)) : clipped.render(reuse);
      if (made) made = inWorkingSpace(std::move(made), std::move(reuse), &staging);
    }
    if (made)
      images_[key] = {std::move(made), window.x, window.y, std::move(staging), convertsAtDraw};
    else
      images_.erase(key);
  } catch (const std::exception& e) {
    // One object's failure leaves the frame without it, never ends the tick.
    images_.erase(key);
    MEDLEY_LOG_ERROR("layout", object.id(), e.what());
  }
}

std::shared_ptr<ScreenPicture> ScreenRendererByCPU::inWorkingSpace(std::shared_ptr<ScreenPicture> picture,
                                                                   platform::PixelBufferRef into,
                                                                   platform::PixelBufferRef* staging) const {
  if (!picture || !picture->planes) return picture;
  const auto& planes = *picture->planes;
  if (composesHLG_ && !isTenBit(planes)) {
    if (!into || !isTenBit(*into) || into->width() != planes.width() || into->height() != planes.height())
      into = platform::PixelBuffer::make(planes.width(), planes.height(), platform::PixelFormat::p010);
    if (!into || !convertBT709ToHLG(planes, *into)) return nullptr;
    if (staging) *staging = std::move(picture->planes);
    picture->planes = std::move(into);
  } else if (!composesHLG_ && isTenBit(planes)) {
    picture->planes = convertHLGToBT709(planes);
    if (!picture->planes) return nullptr;
  }
  return picture;
}

void ScreenRendererByCPU::draw(ScreenObject& object) {
  if (!canvas_) return;
  const auto it = images_.find(object.weak_from_this());
  if (it == images_.end() || !it->second.picture) return;
  const ScreenRect& b = object.bounds();
  const double x = std::floor(b.x / 2) * 2 + it->second.x, y = std::floor(b.y / 2) * 2 + it->second.y;
  // Converted straight onto the canvas at every draw, also when drawn again
  // without a new layout (a camera slower than the frames, a late frame): that
  // costs what a new picture does, with no 10-bit picture made. Where it does
  // not fit whole, it is converted into a kept picture below.
  if (it->second.convertsAtDraw && composesHLG_ && !it->second.picture->alpha && std::isfinite(x) &&
      std::isfinite(y) && it->second.picture->planes &&
      convertBT709ToHLG(*it->second.picture->planes, *canvas_, static_cast<long>(std::floor(x / 2)) * 2,
                        static_cast<long>(std::floor(y / 2)) * 2))
    return;
  // A picture kept from before the canvas changed its samples is converted once.
  if (it->second.picture->planes && isTenBit(*it->second.picture->planes) != composesHLG_) {
    it->second.picture = inWorkingSpace(std::make_shared<ScreenPicture>(*it->second.picture), nullptr, nullptr);
    it->second.convertsAtDraw = false;  // the picture is now ours, not its source's samples
    if (!it->second.picture) return;
  }
  it->second.picture->drawOver(*canvas_, x, y);
}

void ScreenRendererByCPU::setTarget(platform::PixelBufferRef pixelBuffer) {
  if (!pixelBuffer) return;
  for (auto it = images_.begin(); it != images_.end();) it = it->first.expired() ? images_.erase(it) : std::next(it);
  pixelBuffer_ = std::move(pixelBuffer);
  composesHLG_ = isTenBit(*pixelBuffer_) && composesInHLG();
  if (isEightBitBiPlanar(*pixelBuffer_) || composesHLG_) {
    canvas_ = pixelBuffer_;
  } else if (!canvas_ || canvas_ == pixelBuffer_ || canvas_->width() != pixelBuffer_->width() ||
             canvas_->height() != pixelBuffer_->height()) {
    canvas_ = platform::PixelBuffer::make(pixelBuffer_->width(), pixelBuffer_->height(),
                                          platform::PixelFormat::nv12VideoRange);
  }
  if (canvas_) fillColor(*canvas_, backgroundFill_.red, backgroundFill_.green, backgroundFill_.blue, backgroundFill_.alpha);
}

bool ScreenRendererByCPU::composesInHLG() const {
  return context_.options &&
         context_.options->outputColorSpace.attachments.transfer == platform::TransferFunction::itu_r_2100_hlg;
}

void ScreenRendererByCPU::render() {
  if (!pixelBuffer_) return;
  // A standard-range canvas for a 10-bit target holds BT.709 colours, widened as they are.
  if (canvas_ && canvas_ != pixelBuffer_ && isTenBit(*pixelBuffer_)) widenInto(*canvas_, *pixelBuffer_);
  // Every picture leaves tagged with the context's output colour space.
  if (context_.options) pixelBuffer_->setColorAttachments(context_.options->outputColorSpace.attachments);
}

}  // namespace medley
