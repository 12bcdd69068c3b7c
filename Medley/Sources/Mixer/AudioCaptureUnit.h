#pragma once
// The media mixer's microphones: one device unit per track, attached through
// the capture session, every buffer into the unit's audio mixer (multi-track
// or single-track, chosen once). Captured buffers and the mixer's own appends
// run on the one lock queue, so they never race on the audio mixer; its state
// is also guarded by a lock for settings from the media mixer's actor. Each
// mixed buffer is copied to the media mixer's sequence and, while monitoring,
// played locally.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "Medley/Sources/Mixer/AudioDeviceUnit.h"
#include "Medley/Sources/Mixer/AudioMixer.h"
#include "Medley/Sources/Mixer/AudioMonitor.h"
#include "Medley/Sources/Mixer/CaptureSessionConvertible.h"
#include "Platform/Concurrency/AsyncStream.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace medley {

class AudioCaptureUnit final : public AudioMixerDelegate, public std::enable_shared_from_this<AudioCaptureUnit> {
 public:
  using Output = std::pair<platform::PCMBufferRef, platform::AudioTime>;
  using Configuration = std::function<void(AudioDeviceUnit&)>;

  // Without a monitor output the monitor plays nothing.
  AudioCaptureUnit(std::shared_ptr<CaptureSessionConvertible> session, bool isMultiTrackAudioMixingEnabled,
                   std::shared_ptr<platform::Runtime> runtime,
                   std::shared_ptr<platform::AudioOutput> monitorOutput = nullptr);

  const std::shared_ptr<platform::SerialQueue>& lockQueue() const { return lockQueue_; }
  bool isMultiTrackAudioMixingEnabled() const { return isMultiTrackAudioMixingEnabled_; }
  bool isMonitoringEnabled() const { return isMonitoringEnabled_; }
  void setMonitoringEnabled(bool enabled);
  const std::shared_ptr<AudioMonitor>& monitor() const { return monitor_; }

  AudioMixerSettings settings();
  void setSettings(const AudioMixerSettings& settings);
  std::map<uint8_t, platform::AudioFormat> inputFormats();

  // Where mixed sound goes; replacing it finishes the one before.
  void setContinuation(std::optional<platform::AsyncStreamWriter<Output>> continuation);
  bool hasContinuation() const;

  // On the lock queue, after the buffers captured before them.
  void append(uint8_t track, platform::SampleBufferRef sampleBuffer);
  void append(uint8_t track, platform::PCMBufferRef buffer, const platform::AudioTime& when);

  const std::map<uint8_t, std::shared_ptr<AudioDeviceUnit>>& devices() const { return devices_; }
  // Replaces the track's microphone (none empties the track).
  void attachAudio(std::shared_ptr<platform::AudioCapture> capture, const std::string& deviceID, uint8_t track,
                   const Configuration& configuration = nullptr);

  void deviceFailed(const std::shared_ptr<DeviceUnit>& unit, const std::string& description, bool disconnected = false);

  void audioMixerDidOutput(AudioMixer& mixer, const platform::PCMBuffer& buffer,
                           const platform::AudioTime& when) override;

 private:
  AudioMixer& audioMixer();

  const std::shared_ptr<platform::SerialQueue> lockQueue_;
  const bool isMultiTrackAudioMixingEnabled_;
  const std::shared_ptr<CaptureSessionConvertible> session_;
  const std::shared_ptr<AudioMonitor> monitor_;
  bool isMonitoringEnabled_ = false;
  std::map<uint8_t, std::shared_ptr<AudioDeviceUnit>> devices_;

  mutable std::mutex mutex_;
  std::unique_ptr<AudioMixer> audioMixer_;
  std::optional<platform::AsyncStreamWriter<Output>> continuation_;
};

}  // namespace medley
