#pragma once
// Capture of a display or a window: what can be shared, and a running capture
// that delivers a frame each time the picture changes, at most 30 per second,
// scaled to the size it was given. Frames and the end of a capture are reported on
// the capture's own serial queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Media/PixelBuffer.h"

namespace platform {

struct ScreenCaptureTarget {
  enum class Kind { display, window };
  Kind kind = Kind::display;
  uint64_t id = 0;  // the display's screen number or the window's identifier
  std::string name;
  int width = 0;    // pixels
  int height = 0;
  friend bool operator==(const ScreenCaptureTarget&, const ScreenCaptureTarget&) = default;
};

// The capture cannot list or start; what() is the sentence for the host.
class ScreenCaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ScreenCaptureStream {
 public:
  virtual ~ScreenCaptureStream() = default;
  // Captures another target from the next frame on, scaled to width x height.
  virtual void update(const ScreenCaptureTarget& target, int width, int height) = 0;
  // No frame and no end report after it returns.
  virtual void stop() = 0;
};

class ScreenCapturer {
 public:
  struct Handlers {
    std::function<void(PixelBufferRef buffer, double hostSeconds)> onFrame;
    // The capture ended on its own (the window closed, the display went away).
    std::function<void(const std::string& reason)> onStop;
  };
  virtual ~ScreenCapturer() = default;
  // Throws ScreenCaptureError.
  virtual std::vector<ScreenCaptureTarget> targets() = 0;
  // Throws ScreenCaptureError.
  virtual std::unique_ptr<ScreenCaptureStream> start(const ScreenCaptureTarget& target, int width, int height,
                                                     Handlers handlers) = 0;
};

}  // namespace platform
