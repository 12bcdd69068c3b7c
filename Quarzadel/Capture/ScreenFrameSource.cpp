#include "Quarzadel/Capture/ScreenFrameSource.h"

#include <cmath>

namespace quarzadel {

ScreenFrameSource::ScreenFrameSource(std::shared_ptr<ScreenFrames> frames, std::optional<std::string> displayName)
    : displayName_(displayName.value_or(kDefaultName)), frames_(std::move(frames)) {}

ScreenFrameSource::~ScreenFrameSource() { stop(); }

void ScreenFrameSource::start(std::shared_ptr<platform::SerialQueue> deliveryQueue, FrameHandler onFrame,
                              FailureHandler /*onFailure*/) {
  if (timer_ || !deliveryQueue || !frames_) return;
  std::weak_ptr<ScreenFrameSource> weak = weak_from_this();
  std::weak_ptr<platform::SerialQueue> weakQueue = deliveryQueue;
  // On the pushing thread: only hands the frame over, so capture never waits here.
  consumer_ = frames_->addConsumer([weak, weakQueue, onFrame](platform::PixelBufferRef buffer, double pts) {
    auto queue = weakQueue.lock();
    if (!queue) return;
    queue->async([weak, weakQueue, onFrame, buffer = std::move(buffer), pts] {
      auto self = weak.lock();
      auto q = weakQueue.lock();
      if (self && q && self->timer_) self->deliver(buffer, pts, q->runtime()->nowSeconds(), onFrame);
    });
  });
  const auto period = static_cast<platform::Nanos>(std::llround(kResendPeriod * 1e9));
  timer_ = platform::RepeatingTimer::start(deliveryQueue, 0, period, [weak, weakQueue, onFrame] {
    auto self = weak.lock();
    auto q = weakQueue.lock();
    if (self && q) self->tick(q->runtime()->nowSeconds(), onFrame);
  });
}

void ScreenFrameSource::stop() {
  if (timer_) timer_->cancel();
  timer_.reset();
  if (consumer_ && frames_) frames_->removeConsumer(*consumer_);
  consumer_.reset();
}

void ScreenFrameSource::deliver(const platform::PixelBufferRef& buffer, double pts, double now,
                                const FrameHandler& onFrame) {
  pts = nextPTS(pts);
  lastPTS_ = pts;
  lastDeliveredAt_ = now;
  onFrame(buffer, pts);
}

void ScreenFrameSource::tick(double now, const FrameHandler& onFrame) {
  if (now - lastDeliveredAt_ < kQuietThreshold) return;
  auto latest = frames_->latest();
  if (!latest) return;
  deliver(latest->first, now, now, onFrame);
}

}  // namespace quarzadel
