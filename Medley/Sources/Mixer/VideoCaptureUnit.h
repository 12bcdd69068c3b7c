#pragma once
// The media mixer's cameras: one device unit per track, attached through the
// capture session, every picture into the unit's video mixer. Captured
// pictures and the mixer's own appends run on the one lock queue, so they
// never race on the video mixer; the mixer's state is also guarded by a lock
// for reads and settings from the media mixer's actor. Publishes every input
// with its track (inputs()) and every mixed picture (output()).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "Medley/Sources/Mixer/CaptureSessionConvertible.h"
#include "Medley/Sources/Mixer/VideoDeviceUnit.h"
#include "Medley/Sources/Mixer/VideoMixer.h"
#include "Medley/Sources/Util/AsyncStreamedFlow.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace medley {

class VideoCaptureUnit final : public VideoMixerDelegate, public std::enable_shared_from_this<VideoCaptureUnit> {
 public:
  class Error : public std::runtime_error {
   public:
    Error() : std::runtime_error("the capture session takes one camera only") {}
  };
  using Input = std::pair<uint8_t, platform::SampleBufferRef>;
  using Configuration = std::function<void(VideoDeviceUnit&)>;

  static std::shared_ptr<VideoCaptureUnit> make(std::shared_ptr<CaptureSessionConvertible> session,
                                                std::shared_ptr<platform::Runtime> runtime);
  VideoCaptureUnit(std::shared_ptr<CaptureSessionConvertible> session, std::shared_ptr<platform::Runtime> runtime);

  const std::shared_ptr<platform::SerialQueue>& lockQueue() const { return lockQueue_; }
  const std::shared_ptr<CaptureSessionConvertible>& session() const { return session_; }

  bool isTorchEnabled() const { return isTorchEnabled_; }
  void setTorchEnabled(bool enabled) { isTorchEnabled_ = enabled; }
  VideoOrientation videoOrientation() const { return videoOrientation_; }
  // True when the value changed.
  bool setVideoOrientation(VideoOrientation orientation);
  DynamicRangeMode dynamicRangeMode() const { return dynamicRangeMode_; }
  // True when the value changed.
  bool setDynamicRangeMode(DynamicRangeMode mode);

  // A new sequence; the one read before ends.
  platform::AsyncStream<Input> inputs();
  platform::AsyncStream<platform::SampleBufferRef> output();
  // Ends both sequences.
  void finish();

  VideoMixerSettings videoMixerSettings() const;
  void setVideoMixerSettings(const VideoMixerSettings& settings);
  std::map<uint8_t, platform::FormatDescriptionRef> inputFormats() const;
  // On the lock queue, after the pictures captured before it.
  void append(uint8_t track, platform::SampleBufferRef sampleBuffer);
  // For the device units, on the lock queue.
  void appendOnLockQueue(uint8_t track, const platform::SampleBufferRef& sampleBuffer);

  const std::map<uint8_t, std::shared_ptr<VideoDeviceUnit>>& devices() const { return devices_; }
  // Replaces the track's camera (none empties the track). Throws the device's
  // error or Error when the session takes one camera only and another track has one.
  void attachVideo(std::shared_ptr<platform::VideoCaptureDevice> device, uint8_t track,
                   const Configuration& configuration = nullptr,
                   std::shared_ptr<VideoDeviceControls> controls = nullptr);
  // Cameras without the mode are skipped; refusals are logged.
  void setTorchMode(TorchMode mode);
  void applyVideoOrientation();
  // The first refusal stops the loop and is thrown.
  void applyDynamicRangeMode();

  // From a device unit that failed while streaming. An interruption is not a
  // failure: the privacy watch reports it, with its end (deviceInterrupted).
  void deviceFailed(const std::shared_ptr<DeviceUnit>& unit, const platform::VideoCaptureEvent& event);
  // From a device unit whose privacy control went on or off, on the lock queue:
  // passed on to the session's interruption state.
  void deviceInterrupted(const std::shared_ptr<DeviceUnit>& unit, bool interrupted);

  void videoMixerDidInput(VideoMixer& mixer, uint8_t track, const platform::SampleBufferRef& sampleBuffer) override;
  void videoMixerDidOutput(VideoMixer& mixer, const platform::SampleBufferRef& sampleBuffer) override;

 private:
  VideoMixer& videoMixer();

  const std::shared_ptr<platform::SerialQueue> lockQueue_;
  const std::shared_ptr<CaptureSessionConvertible> session_;
  bool isTorchEnabled_ = false;
  VideoOrientation videoOrientation_ = VideoOrientation::portrait;
  DynamicRangeMode dynamicRangeMode_ = DynamicRangeMode::sdr;
  std::map<uint8_t, std::shared_ptr<VideoDeviceUnit>> devices_;

  mutable std::mutex mutex_;
  AsyncStreamedFlow<Input> inputs_;
  AsyncStreamedFlow<platform::SampleBufferRef> output_;
  std::unique_ptr<VideoMixer> videoMixer_;
};

}  // namespace medley
