#include "Medley/Sources/Mixer/VideoCaptureUnit.h"

#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

std::shared_ptr<VideoCaptureUnit> VideoCaptureUnit::make(std::shared_ptr<CaptureSessionConvertible> session,
                                                         std::shared_ptr<platform::Runtime> runtime) {
  return std::make_shared<VideoCaptureUnit>(std::move(session), std::move(runtime));
}

VideoCaptureUnit::VideoCaptureUnit(std::shared_ptr<CaptureSessionConvertible> session,
                                   std::shared_ptr<platform::Runtime> runtime)
    : lockQueue_(platform::SerialQueue::make(std::string(kLibraryIdentifierPrefix) + ".Medley.VideoCaptureUnit.lock",
                                             std::move(runtime))),
      session_(std::move(session)) {}

bool VideoCaptureUnit::setVideoOrientation(VideoOrientation orientation) {
  return std::exchange(videoOrientation_, orientation) != orientation;
}

bool VideoCaptureUnit::setDynamicRangeMode(DynamicRangeMode mode) {
  return std::exchange(dynamicRangeMode_, mode) != mode;
}

platform::AsyncStream<VideoCaptureUnit::Input> VideoCaptureUnit::inputs() {
  std::lock_guard lock(mutex_);
  return inputs_.stream();
}

platform::AsyncStream<platform::SampleBufferRef> VideoCaptureUnit::output() {
  std::lock_guard lock(mutex_);
  return output_.stream();
}

void VideoCaptureUnit::finish() {
  std::lock_guard lock(mutex_);
  inputs_.finish();
  output_.finish();
}

VideoMixer& VideoCaptureUnit::videoMixer() {
  if (!videoMixer_) videoMixer_ = std::make_unique<VideoMixer>(weak_from_this());
  return *videoMixer_;
}

VideoMixerSettings VideoCaptureUnit::videoMixerSettings() const {
  std::lock_guard lock(mutex_);
  return videoMixer_ ? videoMixer_->settings() : VideoMixerSettings{};
}

void VideoCaptureUnit::setVideoMixerSettings(const VideoMixerSettings& settings) {
  std::lock_guard lock(mutex_);
  videoMixer().setSettings(settings);
}

std::map<uint8_t, platform::FormatDescriptionRef> VideoCaptureUnit::inputFormats() const {
  std::lock_guard lock(mutex_);
  return videoMixer_ ? videoMixer_->inputFormats() : std::map<uint8_t, platform::FormatDescriptionRef>{};
}

void VideoCaptureUnit::append(uint8_t track, platform::SampleBufferRef sampleBuffer) {
  std::weak_ptr<VideoCaptureUnit> weak = weak_from_this();
  lockQueue_->async([weak, track, sampleBuffer = std::move(sampleBuffer)] {
    if (auto self = weak.lock()) self->appendOnLockQueue(track, sampleBuffer);
  });
}

void VideoCaptureUnit::appendOnLockQueue(uint8_t track, const platform::SampleBufferRef& sampleBuffer) {
  std::lock_guard lock(mutex_);
  videoMixer().append(track, sampleBuffer);
}

void VideoCaptureUnit::attachVideo(std::shared_ptr<platform::VideoCaptureDevice> device, uint8_t track,
                                   const Configuration& configuration, std::shared_ptr<VideoDeviceControls> controls) {
  if (auto it = devices_.find(track); it != devices_.end()) {
    session_->detachCapture(it->second);
    it->second->setSampleBufferDelegate(nullptr);
  }
  {
    std::lock_guard lock(mutex_);
    videoMixer().removeInputFormat(track);
  }
  devices_.erase(track);
  if (!device) return;
  if (!devices_.empty() && !session_->isMultiCamSessionEnabled()) throw Error();
  auto unit = std::make_shared<VideoDeviceUnit>(track, std::move(device), std::move(controls));
  try {
    unit->setDynamicRangeMode(dynamicRangeMode_);
  } catch (const std::exception&) {
  }
  unit->setVideoOrientation(videoOrientation_);
  unit->setSampleBufferDelegate(shared_from_this());
  // Before the caller's configuration, which has the last word.
  unit->applySessionPreset(session_->sessionPreset());
  if (configuration) {
    try {
      configuration(*unit);
    } catch (const std::exception& e) {
      MEDLEY_LOG_WARN("a camera's configuration failed:", e.what());
    }
  }
  session_->attachCapture(unit);
  unit->setVideoMirrored(unit->isVideoMirrored());
  devices_[track] = std::move(unit);
}

void VideoCaptureUnit::setTorchMode(TorchMode mode) {
  for (const auto& [track, unit] : devices_) {
    if (!unit->isTorchModeSupported(mode)) continue;
    try {
      unit->setTorchMode(mode);
    } catch (const std::exception& e) {
      MEDLEY_LOG_ERROR("while setting torch:", e.what());
    }
  }
}

void VideoCaptureUnit::applyVideoOrientation() {
  for (const auto& [track, unit] : devices_) unit->setVideoOrientation(videoOrientation_);
}

void VideoCaptureUnit::applyDynamicRangeMode() {
  for (const auto& [track, unit] : devices_) unit->setDynamicRangeMode(dynamicRangeMode_);
}

void VideoCaptureUnit::deviceFailed(const std::shared_ptr<DeviceUnit>& unit, const platform::VideoCaptureEvent& event) {
  if (event.kind == platform::VideoCaptureEvent::Kind::interrupted) return;
  if (auto session = std::dynamic_pointer_cast<CaptureSession>(session_)) {
    session->deviceFailed(unit, {CaptureRuntimeError::Code::unknown, event.description, unit},
                          event.kind == platform::VideoCaptureEvent::Kind::disconnected);
  }
}

void VideoCaptureUnit::deviceInterrupted(const std::shared_ptr<DeviceUnit>& unit, bool interrupted) {
  if (auto session = std::dynamic_pointer_cast<CaptureSession>(session_)) session->deviceInterrupted(unit, interrupted);
}

void VideoCaptureUnit::videoMixerDidInput(VideoMixer&, uint8_t track, const platform::SampleBufferRef& sampleBuffer) {
  (void)inputs_.yield({track, sampleBuffer});
}

void VideoCaptureUnit::videoMixerDidOutput(VideoMixer&, const platform::SampleBufferRef& sampleBuffer) {
  (void)output_.yield(sampleBuffer);
}

}  // namespace medley
