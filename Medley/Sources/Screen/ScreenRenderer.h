#pragma once
// What the screen tree draws through: per frame the Screen sets the time and
// the target, lays out and draws the tree, then renders.
#include <memory>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Screen/ScreenGeometry.h"
#include "Medley/Sources/Screen/ScreenSynchronizationClock.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Time/MediaTime.h"

namespace medley {

class ScreenObject;

class ScreenRenderer {
 public:
  virtual ~ScreenRenderer() = default;

  virtual const ScreenColor& backgroundColor() const = 0;
  virtual void setBackgroundColor(const ScreenColor& color) = 0;
  virtual const ScreenRect& bounds() const = 0;
  virtual void setBounds(const ScreenRect& bounds) = 0;
  virtual const platform::MediaTime& presentationTimeStamp() const = 0;
  virtual void setPresentationTimeStamp(const platform::MediaTime& time) = 0;
  virtual const std::shared_ptr<ScreenSynchronizationClock>& synchronizationClock() const = 0;
  virtual void setSynchronizationClock(std::shared_ptr<ScreenSynchronizationClock> clock) = 0;
  // The range pictures are composed in: in high dynamic range, HLG pictures
  // are handed over as they are.
  virtual DynamicRangeMode dynamicRangeMode() const { return DynamicRangeMode::sdr; }

  // Makes and keeps the object's picture (with its rounded corners).
  virtual void layout(ScreenObject& object) = 0;
  // Composites the kept picture at the object's bounds.
  virtual void draw(ScreenObject& object) = 0;
  // None keeps the previous target.
  virtual void setTarget(platform::PixelBufferRef pixelBuffer) = 0;
  virtual void render() = 0;
};

}  // namespace medley
