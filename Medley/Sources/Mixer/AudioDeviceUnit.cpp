#include "Medley/Sources/Mixer/AudioDeviceUnit.h"

#include <cmath>

#include "Medley/Sources/Mixer/AudioCaptureUnit.h"

namespace medley {

using Kind = platform::AudioCaptureFailure::Kind;

AudioDeviceUnit::AudioDeviceUnit(uint8_t track, std::shared_ptr<platform::AudioCapture> capture, std::string deviceID)
    : track_(track), capture_(std::move(capture)), deviceID_(std::move(deviceID)) {}

AudioDeviceUnit::~AudioDeviceUnit() { stopCapturing(); }

void AudioDeviceUnit::setSampleBufferDelegate(const std::shared_ptr<AudioCaptureUnit>& unit) {
  std::lock_guard lock(mutex_);
  dataOutput_ = unit;
}

void AudioDeviceUnit::startCapturing() {
  uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (session_ || isStarting_ || !capture_) return;
    isStarting_ = true;
    stopRequested_ = false;
    endedWhileStarting_.reset();
    generation = ++generation_;
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
  handlers.onFailure = [weak, generation](const platform::AudioCaptureFailure& failure) {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<AudioCaptureUnit> unit;
    std::shared_ptr<platform::AudioCaptureSession> ended;
    {
      std::lock_guard lock(self->mutex_);
      if (generation != self->generation_) return;  // a session stopped since
      // Before open returned: told once the unit no longer counts as capturing.
      if (self->isStarting_) {
        self->endedWhileStarting_ = failure;
        return;
      }
      // The input no longer delivers: the unit stops counting as capturing,
      // so that the session starts it again at its restart pace.
      ended = std::move(self->session_);
      unit = self->dataOutput_.lock();
    }
    if (!unit) return;
    // Closed off the capture's own thread, which cannot wait for itself.
    if (ended) unit->lockQueue()->async([ended] { ended->stop(); });
    unit->deviceFailed(self, failure.description, failure.kind == Kind::disconnected);
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
  const auto ended = std::exchange(endedWhileStarting_, std::nullopt);
  if (opened && !stopRequested_ && !ended) {
    session_ = std::move(opened);
    return;
  }
  if (opened) {
    // Stopped while opening, or ended already: the input is closed again at once.
    lock.unlock();
    opened->stop();
    lock.lock();
    if (!ended) return;
  }
  if (auto unit = dataOutput_.lock()) {
    auto self = shared_from_this();
    const bool disconnected = ended && ended->kind == Kind::disconnected;
    if (ended) failure = ended->description;
    // Reported outside this unit's lock: the unit may call back into it.
    unit->lockQueue()->async(
        [unit, self, what = failure, disconnected] { unit->deviceFailed(self, what, disconnected); });
  }
}

void AudioDeviceUnit::stopCapturing() {
  std::shared_ptr<platform::AudioCaptureSession> session;
  {
    std::lock_guard lock(mutex_);
    session = std::move(session_);
    if (isStarting_) stopRequested_ = true;
    ++generation_;
  }
  if (session) session->stop();
}

bool AudioDeviceUnit::isCapturing() const {
  std::lock_guard lock(mutex_);
  return session_ != nullptr || isStarting_;
}

}  // namespace medley
