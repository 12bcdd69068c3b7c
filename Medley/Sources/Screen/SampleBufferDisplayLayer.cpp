#include "Medley/Sources/Screen/SampleBufferDisplayLayer.h"

namespace medley {

void SampleBufferDisplayLayer::setVideoGravity(const LayerVideoGravity& gravity) {
  videoGravity_ = gravity;
  if (displayed_) show();
}

void SampleBufferDisplayLayer::setMirrored(bool mirrored) {
  isMirrored_ = mirrored;
  if (displayed_) show();
}

void SampleBufferDisplayLayer::enqueue(const platform::SampleBufferRef& sampleBuffer) {
  if (!sampleBuffer || !sampleBuffer->imageBuffer()) return;
  displayed_ = sampleBuffer;
  show();
}

void SampleBufferDisplayLayer::show() {
  renderer_.present(*surface_, displayed_ ? displayed_->imageBuffer() : nullptr, videoGravity_, isMirrored_, {},
                    backgroundColor_);
}

}  // namespace medley
