#pragma once
// The compositor: on every display tick it takes a pixel buffer from its pool,
// stamps it with the tick's time (less the camera's capture latency), lays out
// and draws its object tree into it and hands it back. Frames leave with
// strictly increasing presentation times. Used on the ScreenActor only.
#include <memory>
#include <optional>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Screen/DisplayLinkTime.h"
#include "Medley/Sources/Screen/ScreenObjectContainer.h"
#include "Medley/Sources/Screen/ScreenRendererByCPU.h"
#include "Medley/Sources/Screen/VideoScreenObject.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PixelBufferPool.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley {

class Screen;

class ScreenDelegate {
 public:
  virtual ~ScreenDelegate() = default;
  virtual void screen(Screen& screen, const platform::MediaTime& willLayout) = 0;
};

class Screen {
 public:
  Screen();

  std::shared_ptr<ScreenDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<ScreenDelegate>& delegate) { delegate_ = delegate; }

  const ScreenSize& size() const { return size_; }
  // A new size rebuilds the pool and the output format; a size no buffer can
  // have (not finite, not positive, too large) is refused and logged.
  void setSize(const ScreenSize& size);
  const ScreenColor& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(const ScreenColor& color);
  DynamicRangeMode dynamicRangeMode() const { return dynamicRangeMode_; }
  // A new mode makes a new renderer (keeping bounds, background and clock) and pool.
  void setDynamicRangeMode(DynamicRangeMode mode);

  ScreenRenderer& renderer() const { return *renderer_; }
  double targetTimestamp() const { return targetTimestamp_; }
  const std::shared_ptr<VideoScreenObject>& videoTrackScreenObject() const { return videoTrackScreenObject_; }
  double videoCaptureLatency() const { return videoCaptureLatency_; }
  const std::shared_ptr<ScreenObjectContainer>& root() const { return root_; }
  const platform::FormatDescriptionRef& outputFormat() const { return outputFormat_; }
  const std::shared_ptr<platform::PixelBufferPool>& pixelBufferPool() const { return pixelBufferPool_; }
  const platform::MediaTime& presentationTimeStamp() const { return presentationTimeStamp_; }

  // The render tick: a composed frame, or none (no buffer, or a presentation
  // time that does not advance past the last frame's).
  platform::SampleBufferRef makeSampleBuffer(const DisplayLinkTime& time);
  // Composes the tree into the buffer's picture.
  const platform::SampleBufferRef& render(const platform::SampleBufferRef& sampleBuffer);
  // How far a camera frame presented at `presentationTime` lags behind the
  // display clock, to 0.1 ms (rounded up); nothing before the first tick.
  void setVideoCaptureLatency(const platform::MediaTime& presentationTime);

  // Ignores none and the root; throws alreadyExists for an object with a parent.
  void addChild(const ScreenObjectRef& child);
  void removeChild(const ScreenObjectRef& child) { root_->removeChild(child); }
  ScreenObjectRef screenObject(const std::string& id) { return root_->screenObject(id); }
  size_t childCounts() const { return root_->childCounts(); }

  bool registerVideoEffect(const std::shared_ptr<VideoEffect>& e) { return videoTrackScreenObject_->registerVideoEffect(e); }
  bool unregisterVideoEffect(const std::shared_ptr<VideoEffect>& e) {
    return videoTrackScreenObject_->unregisterVideoEffect(e);
  }

  // Each tick takes a new buffer while earlier frames are still held downstream.
  static constexpr size_t kMinimumBufferCount = 3;

 private:
  void makePool();

  std::weak_ptr<ScreenDelegate> delegate_;
  ScreenSize size_{1280, 720};
  ScreenColor backgroundColor_ = ScreenColor::black();
  DynamicRangeMode dynamicRangeMode_ = DynamicRangeMode::sdr;
  std::unique_ptr<ScreenRenderer> renderer_;
  double targetTimestamp_ = 0;
  std::shared_ptr<VideoScreenObject> videoTrackScreenObject_;
  double videoCaptureLatency_ = 0;
  std::shared_ptr<ScreenObjectContainer> root_;
  platform::FormatDescriptionRef outputFormat_;
  std::shared_ptr<platform::PixelBufferPool> pixelBufferPool_;
  platform::MediaTime presentationTimeStamp_ = platform::MediaTime::zero();
  bool hasPresented_ = false;
};

}  // namespace medley
