#include "Medley/Sources/Mixer/VideoDeviceUnit.h"

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"
#include "Medley/Sources/Mixer/VideoCaptureUnit.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

namespace {

bool supportsRate(const platform::VideoCaptureFormat& format, double rate) {
  for (const auto& range : format.frameRateRanges) {
    // Drivers give rates as fractions: 30000/1001 is "29.97" to a caller.
    if (rate >= range.minFrameRate - 0.01 && rate <= range.maxFrameRate + 0.01) return true;
  }
  return false;
}

std::vector<CaptureDeviceFormat> described(const std::vector<platform::VideoCaptureFormat>& formats) {
  std::vector<CaptureDeviceFormat> out;
  out.reserve(formats.size());
  for (const auto& f : formats) {
    CaptureDeviceFormat d{f.width, f.height, {}};
    for (const auto& r : f.frameRateRanges) d.videoSupportedFrameRateRanges.push_back({r.minFrameRate, r.maxFrameRate});
    out.push_back(std::move(d));
  }
  return out;
}

platform::FrameDuration durationOf(double frameRate) {
  return platform::FrameDuration{100, static_cast<uint32_t>(frameRate * 100)};
}

bool sameRate(const platform::FrameDuration& a, const platform::FrameDuration& b) {
  return uint64_t(a.numerator) * b.denominator == uint64_t(b.numerator) * a.denominator;
}

// What to ask of `format` for `rate`: 1/rate where a range holds it, else the
// rate the format offers nearest to it (the faster of two as near), as the
// driver gives it. Without the duration the device would keep the interval it
// had, whatever an earlier program left there. None for a format without rates.
std::optional<platform::FrameDuration> durationFor(const platform::VideoCaptureFormat& format, double rate) {
  if (supportsRate(format, rate)) return durationOf(rate);
  std::optional<platform::FrameDuration> nearest;
  double nearestRate = 0;
  const auto consider = [&](const platform::FrameDuration& duration) {
    if (!duration.isValid()) return;
    const double offered = duration.rate();
    const double distance = std::abs(offered - rate), best = std::abs(nearestRate - rate);
    if (!nearest || distance < best || (distance == best && offered > nearestRate)) {
      nearest = duration;
      nearestRate = offered;
    }
  };
  for (const auto& range : format.frameRateRanges) {
    consider(range.minFrameDuration);
    consider(range.maxFrameDuration);
  }
  return nearest;
}

constexpr int32_t kTorchOff = 0;  // V4L2_FLASH_LED_MODE_NONE
constexpr int32_t kTorchOn = 2;   // V4L2_FLASH_LED_MODE_TORCH

int32_t degrees(VideoOrientation orientation) {
  switch (orientation) {
    case VideoOrientation::portrait:
      return 0;
    case VideoOrientation::portraitUpsideDown:
      return 180;
    case VideoOrientation::landscapeRight:
      return 90;
    case VideoOrientation::landscapeLeft:
      return 270;
  }
  return 0;
}

}  // namespace

VideoDeviceUnit::VideoDeviceUnit(uint8_t track, std::shared_ptr<platform::VideoCaptureDevice> device,
                                 std::shared_ptr<VideoDeviceControls> controls)
    : track_(track), device_(std::move(device)), controls_(std::move(controls)) {
  if (device_) device_->open();
}

VideoDeviceUnit::~VideoDeviceUnit() {
  privacyWatch_.reset();
  if (device_) device_->close();
}

void VideoDeviceUnit::setFrameRate(double frameRate) {
  if (!device_) return;
  if (!std::isfinite(frameRate) || frameRate <= 0) {
    throw Error(Error::Kind::unsupportedFrameRate, "not a frame rate");
  }
  const auto formats = device_->formats();
  const auto descriptions = described(formats);
  const auto active = device_->activeFormatIndex();
  if (!active || *active >= formats.size()) {
    throw Error(Error::Kind::unsupportedFrameRate, "the camera has no active format");
  }
  std::optional<size_t> chosen;
  if (isFrameRateSupported(descriptions[*active], frameRate)) {
    chosen = active;
  } else {
    chosen = findVideoFormat(descriptions, formats[*active].width, formats[*active].height, frameRate, true);
  }
  // A format of single rates only "supports" any rate by its nearest one; the
  // camera is asked for the rate only when it really offers it.
  if (!chosen || !supportsRate(formats[*chosen], frameRate)) {
    throw Error(Error::Kind::unsupportedFrameRate, "the camera cannot do that frame rate");
  }
  try {
    device_->configure(*chosen, durationOf(frameRate));
  } catch (const std::exception& e) {
    throw Error(Error::Kind::unsupportedFrameRate, e.what());
  }
  frameRate_ = frameRate;
}

bool VideoDeviceUnit::changeActiveFormat(int width, int height, double frameRate, bool multiCam) {
  if (!device_ || !std::isfinite(frameRate) || frameRate <= 0) return false;
  const auto formats = device_->formats();
  const auto chosen = findVideoFormat(described(formats), width, height, frameRate, multiCam);
  if (!chosen || device_->activeFormatIndex() == chosen) return false;
  configure(formats, *chosen, frameRate);
  return true;
}

void VideoDeviceUnit::configure(const std::vector<platform::VideoCaptureFormat>& formats, size_t index,
                                double frameRate) {
  try {
    device_->configure(index, durationFor(formats[index], frameRate));
  } catch (const std::exception& e) {
    throw Error(Error::Kind::unsupportedFrameRate, e.what());
  }
  if (supportsRate(formats[index], frameRate)) frameRate_ = frameRate;
}

void VideoDeviceUnit::applySessionPreset(const std::string& preset) {
  const auto width = presetWidth(preset), height = presetHeight(preset);
  if (!width || !height || !device_ || !std::isfinite(frameRate_) || frameRate_ <= 0) return;
  try {
    if (changeActiveFormat(*width, *height, frameRate_, true)) return;
    // The preset's format may be active already, at whatever rate an earlier
    // program left. A device that reports no rate has no control of it either.
    const auto formats = device_->formats();
    const auto active = device_->activeFormatIndex();
    if (!active || *active >= formats.size() ||
        findVideoFormat(described(formats), *width, *height, frameRate_, true) != active)
      return;
    const auto current = device_->activeMinFrameDuration();
    const auto wanted = durationFor(formats[*active], frameRate_);
    if (current.isValid() && wanted && !sameRate(current, *wanted)) configure(formats, *active, frameRate_);
  } catch (const std::exception& e) {
    MEDLEY_LOG_WARN("the camera did not take the preset's format:", e.what());
  }
}

void VideoDeviceUnit::setDynamicRangeMode(DynamicRangeMode mode) {
  if (!device_ || mode == dynamicRangeMode_) return;
  if (mode != DynamicRangeMode::sdr) {
    throw Error(Error::Kind::unsupportedDynamicRangeMode, "the camera delivers 8-bit pictures only");
  }
  dynamicRangeMode_ = mode;
}

void VideoDeviceUnit::setVideoOrientation(VideoOrientation orientation) {
  videoOrientation_ = orientation;
  if (controls_ && controls_->isSupported(VideoDeviceControls::Control::rotation, degrees(orientation))) {
    controls_->set(VideoDeviceControls::Control::rotation, degrees(orientation));
  }
}

void VideoDeviceUnit::setVideoMirrored(bool mirrored) {
  isVideoMirrored_ = mirrored;
  if (controls_ && controls_->isSupported(VideoDeviceControls::Control::horizontalFlip, mirrored ? 1 : 0)) {
    controls_->set(VideoDeviceControls::Control::horizontalFlip, mirrored ? 1 : 0);
  }
}

bool VideoDeviceUnit::isTorchModeSupported(TorchMode mode) const {
  if (!controls_ || mode == TorchMode::automatic) return false;
  return controls_->isSupported(VideoDeviceControls::Control::torch, mode == TorchMode::on ? kTorchOn : kTorchOff);
}

void VideoDeviceUnit::setTorchMode(TorchMode mode) {
  if (!isTorchModeSupported(mode) ||
      !controls_->set(VideoDeviceControls::Control::torch, mode == TorchMode::on ? kTorchOn : kTorchOff)) {
    throw Error(Error::Kind::unsupportedControl, "the camera has no torch in that mode");
  }
}

void VideoDeviceUnit::setSampleBufferDelegate(const std::shared_ptr<VideoCaptureUnit>& unit) {
  std::lock_guard lock(mutex_);
  dataOutput_ = unit;
}

void VideoDeviceUnit::startCapturing() {
  uint64_t generation = 0;
  {
    std::unique_lock lock(mutex_);
    if (!device_) return;
    // A stop in the driver ends first: the unit's starts and stops of the
    // device never overlap.
    ownerDone_.wait(lock, [this] { return !isStopping_; });
    if (isStarting_) {
      // A stop came while the driver was starting: this start follows it as
      // soon as the driver returns, not at the session's next restart.
      if (stopRequested_) {
        startAgain_ = true;
        isCapturing_ = true;
      }
      return;
    }
    if (isCapturing_) return;
    isCapturing_ = true;
    isStarting_ = true;
    stopRequested_ = false;
    generation = ++generation_;
  }
  while (startStream(generation)) {
    // Stopped and started again while the driver was starting: the stream the
    // stop found nothing of goes, and a new one starts.
    device_->stopStreaming();
    std::lock_guard lock(mutex_);
    generation = ++generation_;
  }
}

bool VideoDeviceUnit::startStream(uint64_t generation) {
  std::shared_ptr<VideoCaptureUnit> owner;
  {
    std::lock_guard lock(mutex_);
    owner = dataOutput_.lock();
  }
  std::weak_ptr<VideoDeviceUnit> weak = weak_from_this();
  const uint8_t track = track_;
  // Not under the lock: the driver may deliver or fail before it returns.
  try {
    device_->startStreaming(
        [weak, track](platform::PixelBufferRef picture, platform::MediaTime presentationTime) {
          auto self = weak.lock();
          if (!self || !picture) return;
          std::shared_ptr<VideoCaptureUnit> unit;
          {
            std::lock_guard lock(self->mutex_);
            unit = self->dataOutput_.lock();
          }
          if (!unit) return;
          if (!presentationTime.isNumeric()) presentationTime = platform::MediaTime::fromNanos(unit->lockQueue()->now());
          platform::SampleTiming timing;
          timing.presentationTime = presentationTime;
          unit->append(track, platform::SampleBuffer::makeImage(std::move(picture), timing));
        },
        [weak, generation](const platform::VideoCaptureEvent& event) {
          auto self = weak.lock();
          if (!self) return;
          std::shared_ptr<VideoCaptureUnit> unit;
          {
            std::lock_guard lock(self->mutex_);
            if (generation != self->generation_) return;  // a stream stopped since
            unit = self->dataOutput_.lock();
            if (event.kind != platform::VideoCaptureEvent::Kind::interrupted) self->isCapturing_ = false;
          }
          if (unit) unit->deviceFailed(self, event);
        });
  } catch (const std::exception& e) {
    // A camera gone is waited for, not started again at the session's pace.
    const auto* error = dynamic_cast<const platform::VideoCaptureError*>(&e);
    const auto ending = error ? platform::VideoCaptureEvent::endedBy(*error)
                              : platform::VideoCaptureEvent{platform::VideoCaptureEvent::Kind::runtimeError, e.what()};
    std::shared_ptr<VideoCaptureUnit> unit;
    {
      std::lock_guard lock(mutex_);
      if (takeStartAgainLocked()) return true;
      isStarting_ = false;
      if (generation == generation_) isCapturing_ = false;
      // Stopped meanwhile: nobody waits for this failure.
      if (!stopRequested_) unit = dataOutput_.lock();
    }
    ownerDone_.notify_all();
    if (unit) unit->deviceFailed(shared_from_this(), ending);
    return false;
  }
  std::unique_lock lock(mutex_);
  if (takeStartAgainLocked()) return true;
  const bool stopped = stopRequested_;
  if (stopped) {
    // The stop came while the driver was starting and left the stream to this
    // start, which owns the device until it has stopped it.
    lock.unlock();
    device_->stopStreaming();
    lock.lock();
    if (takeStartAgainLocked()) return true;
  }
  isStarting_ = false;
  lock.unlock();
  ownerDone_.notify_all();
  if (!stopped) watchPrivacy(owner, generation);
  return false;
}

bool VideoDeviceUnit::takeStartAgainLocked() {
  if (!startAgain_) return false;
  startAgain_ = false;
  stopRequested_ = false;
  return true;
}

void VideoDeviceUnit::watchPrivacy(const std::shared_ptr<VideoCaptureUnit>& unit, uint64_t generation) {
  if (!controls_ || !unit) return;
  // The watch calls from its own thread, which must never hold the last
  // reference to this unit (dropping the watch joins that thread): the change
  // goes to the capture unit's queue and the unit is looked up there.
  std::weak_ptr<VideoDeviceUnit> weak = weak_from_this();
  const auto queue = unit->lockQueue();
  auto post = [weak, queue](bool on) {
    queue->async([weak, on] {
      if (auto self = weak.lock()) self->privacyChanged(on);
    });
  };
  auto watch = controls_->watchPrivacy(post);
  if (!watch) return;
  // Read after subscribing, so that no change falls between the two.
  const bool on = controls_->privacy().value_or(false);
  std::unique_ptr<VideoDeviceControls::PrivacyWatch> previous;
  {
    std::lock_guard lock(mutex_);
    // Stopped since the stream started: the watch goes with the stream.
    if (generation != generation_) return;
    previous = std::exchange(privacyWatch_, std::move(watch));
  }
  post(on);
}

void VideoDeviceUnit::privacyChanged(bool on) {
  std::shared_ptr<VideoCaptureUnit> unit;
  {
    std::lock_guard lock(mutex_);
    if (!isCapturing_ || isInterrupted_ == on) return;
    isInterrupted_ = on;
    unit = dataOutput_.lock();
  }
  if (unit) unit->deviceInterrupted(shared_from_this(), on);
}

void VideoDeviceUnit::stopCapturing() {
  std::unique_ptr<VideoDeviceControls::PrivacyWatch> watch;
  {
    std::unique_lock lock(mutex_);
    // Another stop in the driver ends first; what came meanwhile is undone after it.
    ownerDone_.wait(lock, [this] { return !isStopping_; });
    startAgain_ = false;
    ++generation_;
    isCapturing_ = false;
    isInterrupted_ = false;
    watch = std::move(privacyWatch_);
    // A start in the driver stops its stream itself once the driver returns:
    // the stop neither waits for a slow driver nor overlaps its start.
    if (isStarting_) {
      stopRequested_ = true;
      return;
    }
    if (!device_) return;
    isStopping_ = true;
  }
  device_->stopStreaming();
  {
    std::lock_guard lock(mutex_);
    isStopping_ = false;
  }
  ownerDone_.notify_all();
}

bool VideoDeviceUnit::isCapturing() const {
  std::lock_guard lock(mutex_);
  return isCapturing_;
}

bool VideoDeviceUnit::isInterrupted() const {
  std::lock_guard lock(mutex_);
  return isInterrupted_;
}

}  // namespace medley
