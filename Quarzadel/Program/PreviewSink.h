#pragma once
// Shows the host every program frame that goes out, and keeps the last frame's
// picture for window snapshots. Mirroring applies to the preview only, never to
// the stream.
#include <memory>
#include <mutex>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/SampleBuffer.h"
#include "Quarzadel/Program/PreviewLayer.h"

namespace quarzadel {

class PreviewSink : public std::enable_shared_from_this<PreviewSink> {
 public:
  static std::shared_ptr<PreviewSink> make(std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared(),
                                           std::shared_ptr<PreviewLayer> layer = std::make_shared<PreviewLayer>());
  PreviewSink(std::shared_ptr<platform::Runtime> runtime, std::shared_ptr<PreviewLayer> layer);

  // Shows one program frame at once; called on the program picture's queue.
  void enqueue(const platform::SampleBufferRef& sample);
  // Returns at once; the change happens on the main queue.
  void setMirrored(bool mirrored);
  // The picture of the last enqueued frame that had one (any thread).
  platform::PixelBufferRef latestFrame() const;

  const std::shared_ptr<PreviewLayer>& layer() const { return layer_; }
  // Main queue only.
  bool isMirrored() const { return mirrored_; }

 private:
  const std::shared_ptr<platform::SerialQueue> main_;
  const std::shared_ptr<PreviewLayer> layer_;
  mutable std::mutex lock_;  // guards latestFrame_ only
  bool mirrored_ = false;
  platform::PixelBufferRef latestFrame_;
};

// The view that hosts a sink's layer: the layer always fills the view and is
// centred in it, so the picture stays aspect-fitted over black and mirrored as set.
class PreviewHostView {
 public:
  explicit PreviewHostView(std::shared_ptr<PreviewSink> sink) : sink_(std::move(sink)) {}
  // Called on the main thread whenever the view's size changes.
  void layout(double width, double height);
  const std::shared_ptr<PreviewSink>& sink() const { return sink_; }

 private:
  std::shared_ptr<PreviewSink> sink_;
};

}  // namespace quarzadel
