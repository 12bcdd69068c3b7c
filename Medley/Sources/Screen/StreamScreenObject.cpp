#include "Medley/Sources/Screen/StreamScreenObject.h"

#include "Medley/Sources/Screen/ScreenActor.h"
#include "Medley/Sources/Screen/ScreenRenderer.h"
#include "Medley/Sources/Screen/VideoScreenObject.h"

namespace medley {

void StreamScreenObject::setSampleBuffer(platform::SampleBufferRef sampleBuffer) {
  const bool same = sampleBuffer_ && sampleBuffer_ == sampleBuffer;
  sampleBuffer_ = std::move(sampleBuffer);
  if (!same && sampleBuffer_) invalidateLayout();
}

void StreamScreenObject::stream(StreamConvertible&, const platform::SampleBufferRef& sampleBuffer) {
  std::weak_ptr<ScreenObject> weak = weak_from_this();
  ScreenActor::shared()->queue()->async([weak, sampleBuffer] {
    if (auto self = weak.lock()) static_cast<StreamScreenObject&>(*self).setSampleBuffer(sampleBuffer);
  });
}

ScreenRect StreamScreenObject::makeBounds(const ScreenSize& size) {
  if (!parent() || !sampleBuffer_ || !sampleBuffer_->formatDescription()) return ScreenObject::makeBounds(size);
  const ScreenRect b = ScreenObject::makeBounds(size);
  if (videoGravity_ != layerVideoGravity::resizeAspect) return b;
  const auto dims = sampleBuffer_->formatDescription()->dimensions();
  if (dims.width <= 0 || dims.height <= 0) return b;
  return ScreenObject::makeBounds(aspectFitBounds(b, dims.width, dims.height).size());
}

std::optional<ScreenImage> StreamScreenObject::makeImage(ScreenRenderer& renderer) {
  if (!sampleBuffer_ || !sampleBuffer_->imageBuffer()) return std::nullopt;
  const auto picture = composableImage(sampleBuffer_->imageBuffer(), renderer.dynamicRangeMode());
  if (!picture) return std::nullopt;
  return scaledToBounds(*picture, videoGravity_, bounds());
}

}  // namespace medley
