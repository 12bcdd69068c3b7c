#include "Quarzadel/Program/PreviewLayer.h"

#include "Platform/Media/FittedRect.h"

namespace quarzadel {

void PreviewLayer::enqueue(const platform::SampleBufferRef& sample) {
  std::lock_guard lock(mutex_);
  enqueued_ += 1;
  if (sample && sample->imageBuffer()) displayed_ = sample;
  if (status_ == Status::unknown) status_ = Status::rendering;
}

void PreviewLayer::flush() {
  std::lock_guard lock(mutex_);
  flushes_ += 1;
  displayed_.reset();
  status_ = Status::unknown;
}

PreviewLayer::Status PreviewLayer::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void PreviewLayer::setStatus(Status status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void PreviewLayer::setMirroredTransform(bool mirrored) {
  std::lock_guard lock(mutex_);
  mirrored_ = mirrored;
  transformChanges_ += 1;
}

bool PreviewLayer::isMirrored() const {
  std::lock_guard lock(mutex_);
  return mirrored_;
}

int64_t PreviewLayer::transformChanges() const {
  std::lock_guard lock(mutex_);
  return transformChanges_;
}

void PreviewLayer::setBounds(Rect bounds) {
  std::lock_guard lock(mutex_);
  bounds_ = bounds;
}

void PreviewLayer::setPosition(double x, double y) {
  std::lock_guard lock(mutex_);
  positionX_ = x;
  positionY_ = y;
}

PreviewLayer::Rect PreviewLayer::bounds() const {
  std::lock_guard lock(mutex_);
  return bounds_;
}

std::pair<double, double> PreviewLayer::position() const {
  std::lock_guard lock(mutex_);
  return {positionX_, positionY_};
}

platform::SampleBufferRef PreviewLayer::displayedFrame() const {
  std::lock_guard lock(mutex_);
  return displayed_;
}

int64_t PreviewLayer::enqueuedCount() const {
  std::lock_guard lock(mutex_);
  return enqueued_;
}

int64_t PreviewLayer::flushCount() const {
  std::lock_guard lock(mutex_);
  return flushes_;
}

PreviewLayer::Rect PreviewLayer::aspectFit(double w, double h, const Rect& b) {
  if (w <= 0 || h <= 0 || b.width <= 0 || b.height <= 0) return {b.x + b.width / 2, b.y + b.height / 2, 0, 0};
  const auto fit = platform::FittedRect<double>::of(w, h, b.width, b.height);
  return {b.x + fit.x, b.y + fit.y, fit.width, fit.height};
}

}  // namespace quarzadel
