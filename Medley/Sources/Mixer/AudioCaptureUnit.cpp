#include "Medley/Sources/Mixer/AudioCaptureUnit.h"

#include <cstring>

#include "Medley/Sources/Mixer/AudioMixerByMultiTrack.h"
#include "Medley/Sources/Mixer/AudioMixerBySingleTrack.h"
#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

AudioCaptureUnit::AudioCaptureUnit(std::shared_ptr<CaptureSessionConvertible> session,
                                   bool isMultiTrackAudioMixingEnabled, std::shared_ptr<platform::Runtime> runtime,
                                   std::shared_ptr<platform::AudioOutput> monitorOutput)
    : lockQueue_(platform::SerialQueue::make(std::string(kLibraryIdentifierPrefix) + ".Medley.AudioCaptureUnit.lock",
                                             std::move(runtime))),
      isMultiTrackAudioMixingEnabled_(isMultiTrackAudioMixingEnabled),
      session_(std::move(session)),
      monitor_(std::make_shared<AudioMonitor>(std::move(monitorOutput))) {}

void AudioCaptureUnit::setMonitoringEnabled(bool enabled) {
  // Under the lock the mixed sound is handed over with: the monitor is not restarted under it.
  std::lock_guard lock(mutex_);
  isMonitoringEnabled_ = enabled;
  if (enabled && !monitor_->isRunning()) monitor_->startRunning();
  if (!enabled && monitor_->isRunning()) monitor_->stopRunning();
}

AudioMixer& AudioCaptureUnit::audioMixer() {
  if (!audioMixer_) {
    if (isMultiTrackAudioMixingEnabled_) {
      audioMixer_ = std::make_unique<AudioMixerByMultiTrack>();
    } else {
      audioMixer_ = std::make_unique<AudioMixerBySingleTrack>();
    }
    audioMixer_->setDelegate(weak_from_this());
  }
  return *audioMixer_;
}

AudioMixerSettings AudioCaptureUnit::settings() {
  std::lock_guard lock(mutex_);
  return audioMixer().settings();
}

void AudioCaptureUnit::setSettings(const AudioMixerSettings& settings) {
  std::lock_guard lock(mutex_);
  audioMixer().setSettings(settings);
}

std::map<uint8_t, platform::AudioFormat> AudioCaptureUnit::inputFormats() {
  std::lock_guard lock(mutex_);
  return audioMixer().inputFormats();
}

void AudioCaptureUnit::setContinuation(std::optional<platform::AsyncStreamWriter<Output>> continuation) {
  std::optional<platform::AsyncStreamWriter<Output>> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(continuation_, std::move(continuation));
  }
  if (previous) previous->finish();
}

bool AudioCaptureUnit::hasContinuation() const {
  std::lock_guard lock(mutex_);
  return continuation_.has_value();
}

void AudioCaptureUnit::append(uint8_t track, platform::SampleBufferRef sampleBuffer) {
  std::weak_ptr<AudioCaptureUnit> weak = weak_from_this();
  lockQueue_->async([weak, track, sampleBuffer = std::move(sampleBuffer)] {
    auto self = weak.lock();
    if (!self || !sampleBuffer) return;
    std::lock_guard lock(self->mutex_);
    self->audioMixer().append(track, *sampleBuffer);
  });
}

void AudioCaptureUnit::append(uint8_t track, platform::PCMBufferRef buffer, const platform::AudioTime& when) {
  std::weak_ptr<AudioCaptureUnit> weak = weak_from_this();
  lockQueue_->async([weak, track, buffer = std::move(buffer), when] {
    auto self = weak.lock();
    if (!self || !buffer) return;
    std::lock_guard lock(self->mutex_);
    self->audioMixer().append(track, *buffer, when);
  });
}

void AudioCaptureUnit::attachAudio(std::shared_ptr<platform::AudioCapture> capture, const std::string& deviceID,
                                   uint8_t track, const Configuration& configuration) {
  if (auto it = devices_.find(track); it != devices_.end()) {
    session_->detachCapture(it->second);
    it->second->setSampleBufferDelegate(nullptr);
    devices_.erase(it);
  }
  if (!capture) return;
  // A microphone that cannot open fails here, not later while running; the track stays empty.
  capture->check(deviceID);
  auto unit = std::make_shared<AudioDeviceUnit>(track, std::move(capture), deviceID);
  unit->setSampleBufferDelegate(shared_from_this());
  if (configuration) {
    try {
      configuration(*unit);
    } catch (const std::exception& e) {
      MEDLEY_LOG_WARN("a microphone's configuration failed:", e.what());
    }
  }
  session_->attachCapture(unit);
  devices_[track] = std::move(unit);
}

void AudioCaptureUnit::deviceFailed(const std::shared_ptr<DeviceUnit>& unit, const std::string& description,
                                    bool disconnected) {
  if (auto session = std::dynamic_pointer_cast<CaptureSession>(session_)) {
    session->deviceFailed(unit, {CaptureRuntimeError::Code::unknown, description, unit}, disconnected);
  }
}

void AudioCaptureUnit::audioMixerDidOutput(AudioMixer&, const platform::PCMBuffer& buffer,
                                           const platform::AudioTime& when) {
  // Called inside append, under the lock. The mixer reuses its buffer, so the sequence gets a copy.
  if (continuation_) {
    if (auto copy = platform::PCMBuffer::make(buffer.format(), buffer.frameCapacity())) {
      copy->setFrameLength(buffer.frameLength());
      const size_t bytes = size_t{buffer.frameLength()} * buffer.bytesPerFrameInBuffer();
      for (uint32_t i = 0; i < buffer.bufferCount(); ++i) {
        std::memcpy(copy->rawChannelData()[i], buffer.rawChannelData()[i], bytes);
      }
      (void)continuation_->yield({std::move(copy), when});
    }
  }
  if (monitor_->isRunning()) {
    // The monitor plays the mixer's format: a new one reopens its output.
    if (monitor_->inputFormat() != buffer.format()) {
      monitor_->stopRunning();
      monitor_->setInputFormat(buffer.format());
      monitor_->startRunning();
    }
    monitor_->append(buffer, when);
  }
}

}  // namespace medley
