#pragma once
// The seam between camera capture and the kernel: one camera that opens, lists
// the formats it can deliver as NV12 pictures, takes a format and a frame
// duration, and streams. V4L2Device is the real one; tests use fakes.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Capture/VideoCaptureDeviceInfo.h"
#include "Platform/Capture/VideoCaptureError.h"
#include "Platform/Capture/VideoCaptureFormat.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Time/MediaTime.h"

namespace platform {

// Something the streaming device tells besides frames.
struct VideoCaptureEvent {
  enum class Kind {
    disconnected,  // the device went away; no more frames
    runtimeError,  // streaming broke for another reason; no more frames
    interrupted,   // frames paused (the privacy control went on); streaming goes on
  };
  Kind kind;
  std::string description;

  // The end of a stream that `error` stopped: a disconnection when the device is gone.
  static VideoCaptureEvent endedBy(const VideoCaptureError& error) {
    return {error.kind == VideoCaptureError::Kind::disconnected ? Kind::disconnected : Kind::runtimeError,
            error.what()};
  }
};

class VideoCaptureDevice {
 public:
  // A picture (NV12, video or full range) and its presentation time on the host
  // clock; an invalid time when the driver's stamps are not on the host clock.
  using FrameHandler = std::function<void(PixelBufferRef picture, MediaTime presentationTime)>;
  using EventHandler = std::function<void(const VideoCaptureEvent& event)>;

  virtual ~VideoCaptureDevice() = default;

  virtual const VideoCaptureDeviceInfo& info() const = 0;

  // Opens the device; throws VideoCaptureError.
  virtual void open() = 0;
  // The formats the device offers that can be delivered, in the device's order
  // (empty before open()).
  virtual std::vector<VideoCaptureFormat> formats() const = 0;
  // The format in use: its index in formats(), none before one is known.
  virtual std::optional<size_t> activeFormatIndex() const = 0;
  // The shortest frame duration in use (invalid when unknown).
  virtual FrameDuration activeMinFrameDuration() const = 0;
  // Makes formats()[index] active (not again when it already is) and, when given,
  // requests the frame duration; works while streaming. Throws VideoCaptureError
  // when the device refuses, keeping what it had. A stream that cannot restart
  // after the change also ends, told once as an event (disconnected when the
  // device is gone, else runtimeError); the error thrown then has streamEnded.
  virtual void configure(size_t index, std::optional<FrameDuration> minFrameDuration) = 0;

  // Starts streaming; the handlers run on the device's own thread, never on a
  // caller's queue, and must neither stop nor release the device. Throws
  // VideoCaptureError.
  virtual void startStreaming(FrameHandler onFrame, EventHandler onEvent) = 0;
  // Stops streaming and waits for the last handler call; safe to repeat, also
  // from several threads at once.
  virtual void stopStreaming() = 0;
  // Stops and releases the device; safe to repeat.
  virtual void close() = 0;
};

}  // namespace platform
