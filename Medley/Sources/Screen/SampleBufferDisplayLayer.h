#pragma once
// A layer that shows the sample buffers enqueued into it, each as it arrives,
// fitted by its gravity over its background colour on a preview surface.
// Used on the main queue.
#include <memory>

#include "Medley/Sources/Screen/PreviewRenderer.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

class SampleBufferDisplayLayer {
 public:
  explicit SampleBufferDisplayLayer(std::shared_ptr<PreviewSurface> surface) : surface_(std::move(surface)) {}

  const LayerVideoGravity& videoGravity() const { return videoGravity_; }
  // Redraws the shown frame in the new fitting.
  void setVideoGravity(const LayerVideoGravity& gravity);
  const ScreenColor& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(const ScreenColor& color) { backgroundColor_ = color; }
  bool isMirrored() const { return isMirrored_; }
  void setMirrored(bool mirrored);

  void enqueue(const platform::SampleBufferRef& sampleBuffer);
  const platform::SampleBufferRef& displayedFrame() const { return displayed_; }
  const std::shared_ptr<PreviewSurface>& surface() const { return surface_; }

 private:
  void show();

  std::shared_ptr<PreviewSurface> surface_;
  LayerVideoGravity videoGravity_ = layerVideoGravity::resizeAspect;
  ScreenColor backgroundColor_ = ScreenColor::black();
  bool isMirrored_ = false;
  platform::SampleBufferRef displayed_;
  PreviewRenderer renderer_;
};

}  // namespace medley
