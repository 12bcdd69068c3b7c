#include "Medley/Sources/Screen/Screen.h"

#include <cmath>

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

Screen::Screen()
    : renderer_(std::make_unique<ScreenRendererByCPU>(DynamicRangeMode::sdr)),
      videoTrackScreenObject_(std::make_shared<VideoScreenObject>()),
      root_(std::make_shared<ScreenObjectContainer>()) {
  try {
    root_->addChild(videoTrackScreenObject_);
  } catch (const ScreenObjectContainer::Error&) {
  }
  makePool();
}

void Screen::makePool() {
  const auto a = makePixelBufferAttributes(dynamicRangeMode_, size_.width, size_.height);
  const auto format = platform::pixelFormatFromFourCC(a.pixelFormatType);
  pixelBufferPool_ = format ? platform::PixelBufferPool::make(a.width, a.height, *format, kMinimumBufferCount) : nullptr;
}

void Screen::setSize(const ScreenSize& size) {
  if (size == size_) return;
  const auto a = makePixelBufferAttributes(dynamicRangeMode_, size.width, size.height);
  if (!platform::PixelBuffer::isValidSize(a.width, a.height)) {
    MEDLEY_LOG_ERROR("setSize refused", size.width, size.height);
    return;
  }
  size_ = size;
  renderer_->setBounds({0, 0, size.width, size.height});
  makePool();
  outputFormat_.reset();
}

void Screen::setBackgroundColor(const ScreenColor& color) {
  if (color == backgroundColor_) return;
  backgroundColor_ = color;
  renderer_->setBackgroundColor(color);
}

void Screen::setDynamicRangeMode(DynamicRangeMode mode) {
  if (mode == dynamicRangeMode_) return;
  dynamicRangeMode_ = mode;
  auto next = std::make_unique<ScreenRendererByCPU>(mode);
  next->setBounds(renderer_->bounds());
  next->setBackgroundColor(renderer_->backgroundColor());
  next->setSynchronizationClock(renderer_->synchronizationClock());
  renderer_ = std::move(next);
  makePool();
  outputFormat_.reset();
  // The new renderer keeps no pictures: every object makes its own again.
  root_->invalidateLayout();
}

platform::SampleBufferRef Screen::makeSampleBuffer(const DisplayLinkTime& time) {
  struct Advance {
    Screen& s;
    double target;
    ~Advance() { s.targetTimestamp_ = target; }
  } advance{*this, time.targetTimestamp};

  if (!pixelBufferPool_) return nullptr;
  auto pixelBuffer = pixelBufferPool_->makePixelBuffer();
  if (!pixelBuffer) return nullptr;
  if (!outputFormat_) {
    outputFormat_ = platform::FormatDescription::makeForImageBuffer(*pixelBuffer);
    if (!outputFormat_) return nullptr;
  }
  auto attachments = pixelBuffer->colorAttachments();
  if (!attachments.isEmpty() && attachments.mode == platform::AttachmentMode::shouldNotPropagate) {
    attachments.mode = platform::AttachmentMode::shouldPropagate;
    pixelBuffer->setColorAttachments(attachments);
  }
  const double seconds = time.timestamp - videoCaptureLatency_;
  if (!std::isfinite(seconds)) return nullptr;
  const auto pts = platform::MediaTime::fromSeconds(seconds, 1'000'000'000);
  // A frame that does not move past the last one would reach encoders and
  // muxers with a repeated or backward time: skip the tick instead.
  if (hasPresented_ ? pts <= presentationTimeStamp_ : pts < presentationTimeStamp_) return nullptr;
  presentationTimeStamp_ = pts;
  platform::SampleTiming timing;
  timing.duration = platform::MediaTime::fromSeconds(time.targetTimestamp - time.timestamp, 1'000'000'000);
  timing.presentationTime = pts;
  timing.decodeTime = platform::MediaTime::invalid();
  auto sampleBuffer = platform::SampleBuffer::makeImage(std::move(pixelBuffer), timing, outputFormat_);
  if (!sampleBuffer) return nullptr;
  hasPresented_ = true;
  try {
    render(sampleBuffer);
  } catch (const std::exception& e) {
    // No error leaves the render tick: the frame goes out as far as it got.
    MEDLEY_LOG_ERROR("makeSampleBuffer", e.what());
  }
  return sampleBuffer;
}

const platform::SampleBufferRef& Screen::render(const platform::SampleBufferRef& sampleBuffer) {
  renderer_->setPresentationTimeStamp(sampleBuffer->presentationTime());
  renderer_->setTarget(sampleBuffer->imageBuffer());
  if (const auto& format = sampleBuffer->formatDescription()) {
    const auto dims = format->dimensions();
    root_->setSize({static_cast<double>(dims.width), static_cast<double>(dims.height)});
  }
  if (auto d = delegate_.lock()) d->screen(*this, sampleBuffer->presentationTime());
  root_->layout(*renderer_);
  root_->draw(*renderer_);
  renderer_->render();
  return sampleBuffer;
}

void Screen::setVideoCaptureLatency(const platform::MediaTime& presentationTime) {
  if (!(targetTimestamp_ > 0)) return;
  platform::MediaTime p = presentationTime;
  if (const auto& clock = renderer_->synchronizationClock()) p = clock->hostTimeFromClockTime(p);
  videoCaptureLatency_ = std::ceil((targetTimestamp_ - p.seconds()) * 10000) / 10000;
}

void Screen::addChild(const ScreenObjectRef& child) {
  if (!child || child == root_) return;
  root_->addChild(child);
}

}  // namespace medley
