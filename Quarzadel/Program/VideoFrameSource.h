#pragma once
// A picture source of the program (a camera, the shared screen, a synthetic
// camera). The program picture starts it once with its own queue; both callbacks
// then run on that queue only, frames stamped in host-clock seconds. A source
// reports at most one failure, as one complete sentence for the host. To reopen a
// device the caller makes a new source object with the same sourceID. A delivered
// picture is never written again: the program may hand its pixels on to the
// encoders and the local copy, which hold it for up to about half a second, so
// each frame goes into a buffer of its own (a pooled one only once released).
#include <functional>
#include <memory>
#include <string>

#include "Platform/Media/PixelBuffer.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace platform {
class SerialQueue;
}  // namespace platform

namespace quarzadel {

using platform::PixelBufferRef;

class VideoFrameSource {
 public:
  using FrameHandler = std::function<void(PixelBufferRef buffer, double hostSeconds)>;
  using FailureHandler = std::function<void(const std::string& reason)>;

  virtual ~VideoFrameSource() = default;

  // Stable per device: two source objects for one device share it.
  virtual std::string sourceID() const = 0;
  virtual std::string displayName() const = 0;
  // Called once, from the delivery queue itself.
  virtual void start(std::shared_ptr<platform::SerialQueue> deliveryQueue, FrameHandler onFrame,
                     FailureHandler onFailure) = 0;
  // Stops delivery and releases the device; safe after a failure and more than once.
  virtual void stop() = 0;
  // The program's configuration changed.
  virtual void apply(const StreamConfig& target) = 0;
  // The whole image must always be visible (read at every render).
  virtual bool prefersFit() const = 0;
};

}  // namespace quarzadel
