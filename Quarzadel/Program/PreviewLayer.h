#pragma once
// The surface that shows program frames in the Studio window: it takes sample
// buffers, fits each picture into its bounds over black, and can be mirrored.
// A window toolkit draws `displayedFrame()`; a failed renderer is flushed before
// the next frame. Frames may be enqueued from any thread; geometry changes on
// the main thread.
#include <cstdint>
#include <mutex>

#include "Platform/Media/SampleBuffer.h"

namespace quarzadel {

class PreviewLayer {
 public:
  enum class Status { unknown, rendering, failed };
  struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
  };

  virtual ~PreviewLayer() = default;

  virtual void enqueue(const platform::SampleBufferRef& sample);
  virtual void flush();
  virtual Status status() const;
  // The surface showing the layer could not draw it: the renderer counts as
  // failed until the next flush.
  void reportFailure() { setStatus(Status::failed); }

  // Horizontal mirroring: a scale of (-1, 1) when on, the identity when off.
  void setMirroredTransform(bool mirrored);
  bool isMirrored() const;
  // Transform changes so far (a change that keeps the value still counts).
  int64_t transformChanges() const;

  void setBounds(Rect bounds);
  void setPosition(double x, double y);
  Rect bounds() const;
  std::pair<double, double> position() const;

  // The picture to draw now, or none (after a flush).
  platform::SampleBufferRef displayedFrame() const;
  int64_t enqueuedCount() const;
  int64_t flushCount() const;

  // Where a picture of this size shows inside the bounds (aspect fit, centred).
  static Rect aspectFit(double pictureWidth, double pictureHeight, const Rect& bounds);

 protected:
  // Test and backend hook: the renderer reports a failure.
  void setStatus(Status status);

 private:
  mutable std::mutex mutex_;
  platform::SampleBufferRef displayed_;
  Status status_ = Status::unknown;
  int64_t enqueued_ = 0;
  int64_t flushes_ = 0;
  bool mirrored_ = false;
  int64_t transformChanges_ = 0;
  Rect bounds_;
  double positionX_ = 0, positionY_ = 0;
};

}  // namespace quarzadel
