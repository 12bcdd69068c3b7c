#pragma once
// The screen renderer on the processor: each laid-out object's picture is made
// once per layout (scaled, clipped to its bounds, with its rounded corners)
// and kept; drawing composites the kept pictures in order onto the frame's
// bi-planar samples. High-dynamic-range frames (10-bit) are composed in their
// own working space, 10-bit BT.2020 HLG: HLG pictures keep their levels, and
// every other picture is converted up once, when it is made, except a camera
// filling its place, which is converted from its own samples straight onto
// the frame each time it is drawn. Every frame is tagged with the mode's
// colour space.
#include <map>

#include "Medley/Sources/Screen/ScreenGeometry.h"
#include <memory>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Screen/RoundedRectangleFactory.h"
#include "Medley/Sources/Screen/ScreenPicture.h"
#include "Medley/Sources/Screen/ScreenRenderer.h"

namespace medley {

class ScreenRendererByCPU final : public ScreenRenderer {
 public:
  explicit ScreenRendererByCPU(DynamicRangeMode dynamicRangeMode = DynamicRangeMode::sdr);

  DynamicRangeMode dynamicRangeMode() const override { return dynamicRangeMode_; }
  // How pictures are composed and tagged, made from the mode.
  const DynamicRangeContext& context() const { return context_; }

  const ScreenColor& backgroundColor() const override { return backgroundColor_; }
  void setBackgroundColor(const ScreenColor& color) override;
  const ScreenRect& bounds() const override { return bounds_; }
  void setBounds(const ScreenRect& bounds) override { bounds_ = bounds; }
  const platform::MediaTime& presentationTimeStamp() const override { return presentationTimeStamp_; }
  void setPresentationTimeStamp(const platform::MediaTime& time) override { presentationTimeStamp_ = time; }
  const std::shared_ptr<ScreenSynchronizationClock>& synchronizationClock() const override {
    return synchronizationClock_;
  }
  void setSynchronizationClock(std::shared_ptr<ScreenSynchronizationClock> clock) override {
    synchronizationClock_ = std::move(clock);
  }

  void layout(ScreenObject& object) override;
  void draw(ScreenObject& object) override;
  void setTarget(platform::PixelBufferRef pixelBuffer) override;
  void render() override;

  // The picture kept for an object, or none.
  ScreenPictureRef picture(const ScreenObject& object) const;
  const RoundedRectangleFactory& roundedRectangleFactory() const { return roundedRectangleFactory_; }
  const platform::PixelBufferRef& target() const { return pixelBuffer_; }

 private:
  bool composesInHLG() const;  // the mode's colours are HLG

  ScreenRect bounds_{0, 0, 1280, 720};
  std::shared_ptr<ScreenSynchronizationClock> synchronizationClock_;
  platform::MediaTime presentationTimeStamp_ = platform::MediaTime::zero();
  ScreenColor backgroundColor_ = ScreenColor::clear();
  // By object identity; entries of objects that no longer exist are dropped per frame.
  // The picture of the part of the object the frame shows, at (x, y) in the object.
  struct Kept {
    ScreenPictureRef picture;
    double x = 0, y = 0;
    // The 8-bit samples a picture converted up was made in, written over at the next layout.
    platform::PixelBufferRef staging;
    // The picture is its 8-bit source, to be converted up when drawn.
    bool convertsAtDraw = false;
  };
  // The picture in the canvas's samples (8-bit BT.709 or 10-bit HLG); `into`
  // may be written over, and `staging` takes the 8-bit samples converted up.
  std::shared_ptr<ScreenPicture> inWorkingSpace(std::shared_ptr<ScreenPicture> picture, platform::PixelBufferRef into,
                                                platform::PixelBufferRef* staging) const;
  std::map<std::weak_ptr<const ScreenObject>, Kept, std::owner_less<>> images_;
  platform::PixelBufferRef pixelBuffer_;
  // The target itself, or 8-bit samples widened into it at render() for a
  // 10-bit target of a standard-range renderer.
  platform::PixelBufferRef canvas_;
  bool composesHLG_ = false;  // the canvas is 10-bit HLG
  DynamicRangeMode dynamicRangeMode_;
  DynamicRangeContext context_;
  ScreenColor backgroundFill_ = ScreenColor::clear();
  RoundedRectangleFactory roundedRectangleFactory_;
};

}  // namespace medley
