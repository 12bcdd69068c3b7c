#include "Medley/Sources/Screen/VideoScreenObject.h"

#include <algorithm>

#include "Medley/Sources/Extension/PixelBufferExtensions.h"
#include "Medley/Sources/Screen/ScreenRenderer.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Media/FittedRect.h"

namespace medley {

std::optional<uint8_t> parseTrack(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > 255) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<uint8_t>(value);
}

ScreenRect aspectFitBounds(const ScreenRect& area, int w, int h) {
  const auto fit = platform::FittedRect<double>::of(w, h, area.width, area.height);
  return {0, 0, fit.width, fit.height};
}

std::optional<ScreenImage> composableImage(const platform::PixelBufferRef& pixelBuffer, DynamicRangeMode mode) {
  try {
    return makeScreenImage(pixelBuffer, mode);
  } catch (const PixelBufferError& e) {
    MEDLEY_LOG_ERROR("makeImage", e.what());
    return std::nullopt;
  }
}

ScreenImage scaledToBounds(const ScreenImage& image, const LayerVideoGravity& gravity, const ScreenRect& bounds) {
  const auto& src = image.source();
  const ScaleTransform t = scale(gravity, {bounds.width, bounds.height},
                                 {static_cast<double>(src->width()), static_cast<double>(src->height())});
  return image.scaled(t.a, t.d);
}

VideoScreenObject::VideoScreenObject(std::optional<std::string> id) : ScreenObject(std::move(id)) {
  try {
    queue_.emplace(kQueueCapacity);
  } catch (const std::exception& e) {
    MEDLEY_LOG_ERROR("init(id:)", e.what());
  }
  // Centred from the start (the capture node fills the frame's width).
  setHorizontalAlignment(HorizontalAlignment::center);
}

void VideoScreenObject::setTrack(uint8_t track) {
  if (track != track_) invalidateLayout();
  track_ = track;
}

void VideoScreenObject::setVideoGravity(const LayerVideoGravity& gravity) {
  if (gravity != videoGravity_) invalidateLayout();
  videoGravity_ = gravity;
}

bool VideoScreenObject::registerVideoEffect(const std::shared_ptr<VideoEffect>& effect) {
  if (!effect || std::find(effects_.begin(), effects_.end(), effect) != effects_.end()) return false;
  effects_.push_back(effect);
  return true;
}

bool VideoScreenObject::unregisterVideoEffect(const std::shared_ptr<VideoEffect>& effect) {
  const auto it = std::find(effects_.begin(), effects_.end(), effect);
  if (it == effects_.end()) return false;
  effects_.erase(it);
  return true;
}

ScreenObject::Elements VideoScreenObject::elements() const { return {{"track", std::to_string(track_)}}; }

void VideoScreenObject::setElements(const Elements& elements) {
  const auto it = elements.find("track");
  setTrack(parseTrack(it == elements.end() ? "0" : it->second).value_or(0));
}

ScreenRect VideoScreenObject::makeBounds(const ScreenSize& size) {
  const auto head = queue_ ? queue_->head() : nullptr;
  if (!parent() || !head || !head->formatDescription()) return ScreenObject::makeBounds(size);
  const ScreenRect b = ScreenObject::makeBounds(size);
  if (videoGravity_ != layerVideoGravity::resizeAspect) return b;
  const auto dims = head->formatDescription()->dimensions();
  if (dims.width <= 0 || dims.height <= 0) return b;
  return ScreenObject::makeBounds(aspectFitBounds(b, dims.width, dims.height).size());
}

std::optional<ScreenImage> VideoScreenObject::makeImage(ScreenRenderer& renderer) {
  platform::MediaTime t = renderer.presentationTimeStamp();
  if (const auto& clock = renderer.synchronizationClock()) t = clock->clockTimeFromHostTime(t);
  if (!queue_) return std::nullopt;
  const auto buffer = queue_->dequeue(t);
  if (!buffer || !buffer->imageBuffer()) return std::nullopt;
  frameTracker_.update(buffer->presentationTime());
  // Effects read 8-bit BT.709 samples: a frame they change is composed as a standard one.
  std::optional<ScreenImage> picture =
      composableImage(buffer->imageBuffer(), effects_.empty() ? renderer.dynamicRangeMode() : DynamicRangeMode::sdr);
  if (!picture) return std::nullopt;
  ScreenImage image = scaledToBounds(*picture, videoGravity_, bounds());
  for (const auto& effect : effects_) image = effect->apply(image);
  return image;
}

void VideoScreenObject::draw(ScreenRenderer& renderer) {
  ScreenObject::draw(renderer);
  if (queue_ && !queue_->isEmpty()) invalidateLayout();
}

}  // namespace medley
