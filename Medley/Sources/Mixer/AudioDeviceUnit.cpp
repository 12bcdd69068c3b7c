#include "Medley/Sources/Mixer/AudioDeviceUnit.h"

#include <cmath>

#include "Medley/Sources/Mixer/AudioCaptureUnit.h"

namespace medley {

AudioDeviceUnit::AudioDeviceUnit(uint8_t track, std::shared_ptr<platform::AudioCapture> capture, std::string deviceID)
    : track_(track), capture_(std::move(capture)), deviceID_(std::move(deviceID)) {}

AudioDeviceUnit::~AudioDeviceUnit() { stopCapturing(); }

void AudioDeviceUnit::setSampleBufferDelegate(const std::shared_ptr<AudioCaptureUnit>& unit) {
  std::lock_guard lock(mutex_);
  dataOutput_ = unit;
}

void AudioDeviceUnit::startCapturing() {
  {
    std::lock_guard lock(mutex_);
    if (session_ || isStarting_ || !capture_) return;
    isStarting_ = true;
    stopRequested_ = false;
  }
  std::weak_ptr<AudioDeviceUnit> weak = weak_from_this();
  const uint8_t track = track_;
  platform::AudioCapture::Handlers handlers;
  handlers.onBuffer = [weak, track](std::shared_ptr<platform::PCMBuffer> buffer, double hostSeconds) {
    auto self = weak.lock();
    if (!self || !buffer) return;
    std::shared_ptr<AudioCaptureUnit> unit;
    {
      std::lock_guard lock(self->mutex_);
      unit = self->dataOutput_.lock();
    }
    if (!unit) return;
    const double rate = buffer->format().sampleRate();
    const auto when = platform::AudioTime::with(static_cast<platform::Nanos>(hostSeconds * 1e9),
                                                static_cast<int64_t>(std::llround(hostSeconds * rate)), rate);
    unit->append(track, std::move(buffer), when);
  };
  handlers.onFailure = [weak](const platform::AudioCaptureFailure& failure) {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<AudioCaptureUnit> unit;
    {
      std::lock_guard lock(self->mutex_);
      unit = self->dataOutput_.lock();
    }
    if (unit) {
      unit->deviceFailed(self, failure.description, failure.kind == platform::AudioCaptureFailure::Kind::disconnected);
    }
  };
  // Not under the lock: the sound server's thread may deliver before open returns.
  std::unique_ptr<platform::AudioCaptureSession> opened;
  std::string failure;
  try {
    opened = capture_->open(deviceID_, std::move(handlers));
  } catch (const std::exception& e) {
    failure = e.what();
  }
  std::unique_lock lock(mutex_);
  isStarting_ = false;
  if (opened && stopRequested_) {
    // Stopped while opening: the input is closed again at once.
    lock.unlock();
    opened->stop();
  } else if (opened) {
    session_ = std::move(opened);
  } else {
    if (auto unit = dataOutput_.lock()) {
      auto self = shared_from_this();
      // Reported outside this unit's lock: the unit may call back into it.
      unit->lockQueue()->async([unit, self, what = failure] { unit->deviceFailed(self, what); });
    }
  }
}

void AudioDeviceUnit::stopCapturing() {
  std::unique_ptr<platform::AudioCaptureSession> session;
  {
    std::lock_guard lock(mutex_);
    session = std::move(session_);
    if (isStarting_) stopRequested_ = true;
  }
  if (session) session->stop();
}

bool AudioDeviceUnit::isCapturing() const {
  std::lock_guard lock(mutex_);
  return session_ != nullptr || isStarting_;
}

}  // namespace medley
