#pragma once
// One microphone bound to a track: while the session runs it opens the sound
// input and delivers its buffers onto its capture unit's queue, into the
// unit's audio mixer, timed on the host clock.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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

  // Opening the input happens here; its failure, or the end of its delivery,
  // goes to the session's runtime errors and the unit no longer captures.
  void startCapturing() override;
  void stopCapturing() override;
  bool isCapturing() const override;

 private:
  const uint8_t track_;
  const std::shared_ptr<platform::AudioCapture> capture_;
  const std::string deviceID_;
  mutable std::mutex mutex_;
  std::weak_ptr<AudioCaptureUnit> dataOutput_;
  // Shared with the stop that an ended session gets on the unit's queue.
  std::shared_ptr<platform::AudioCaptureSession> session_;
  bool isStarting_ = false;
  bool stopRequested_ = false;
  std::optional<platform::AudioCaptureFailure> endedWhileStarting_;
  // Counts starts and stops: a failure told by a session stopped since is stale.
  uint64_t generation_ = 0;
};

}  // namespace medley
