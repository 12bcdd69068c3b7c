#pragma once
// One microphone bound to a track: while the session runs it opens the sound
// input and delivers its buffers onto its capture unit's queue, into the
// unit's audio mixer, timed on the host clock.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Medley/Sources/Mixer/DeviceUnit.h"
#include "Platform/Audio/AudioCapture.h"

namespace medley {

class AudioCaptureUnit;

class AudioDeviceUnit final : public DeviceUnit, public std::enable_shared_from_this<AudioDeviceUnit> {
 public:
  // `deviceID`: the input's name for `capture` (a PulseAudio source name, or
  // empty for the server's default).
  AudioDeviceUnit(uint8_t track, std::shared_ptr<platform::AudioCapture> capture, std::string deviceID);
  ~AudioDeviceUnit() override;

  uint8_t track() const override { return track_; }
  const std::string& deviceID() const { return deviceID_; }

  void setSampleBufferDelegate(const std::shared_ptr<AudioCaptureUnit>& unit);

  // Opening the input happens here; its failure goes to the session's runtime errors.
  void startCapturing() override;
  void stopCapturing() override;
  bool isCapturing() const override;

 private:
  const uint8_t track_;
  const std::shared_ptr<platform::AudioCapture> capture_;
  const std::string deviceID_;
  mutable std::mutex mutex_;
  std::weak_ptr<AudioCaptureUnit> dataOutput_;
  std::unique_ptr<platform::AudioCaptureSession> session_;
  bool isStarting_ = false;
  bool stopRequested_ = false;
};

}  // namespace medley
