#pragma once
// One camera bound to a track: it opens the device, changes its format and
// frame duration, mirrors, rotates and lights it where the device has those
// controls, and while the session runs delivers its pictures onto its capture
// unit's queue, into the unit's video mixer, and tells the capture unit when
// the camera's privacy control interrupts it and when it lets it go on.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Mixer/DeviceUnit.h"
#include "Medley/Sources/Mixer/VideoDeviceControls.h"
#include "Platform/Capture/VideoCaptureDevice.h"
#include "Platform/Media/FourCC.h"

namespace medley {

class VideoCaptureUnit;

enum class VideoOrientation { portrait = 1, portraitUpsideDown = 2, landscapeRight = 3, landscapeLeft = 4 };
enum class TorchMode { off = 0, on = 1, automatic = 2 };

class VideoDeviceUnit final : public DeviceUnit, public std::enable_shared_from_this<VideoDeviceUnit> {
 public:
  class Error : public std::runtime_error {
   public:
    enum class Kind { unsupportedDynamicRangeMode, unsupportedFrameRate, unsupportedControl };
    Error(Kind kind, std::string what) : std::runtime_error(std::move(what)), kind(kind) {}
    Kind kind;
  };

  static constexpr double kDefaultFrameRate = 30.0;

  // Opens the device (its VideoCaptureError is thrown). Without controls the
  // device has none.
  VideoDeviceUnit(uint8_t track, std::shared_ptr<platform::VideoCaptureDevice> device,
                  std::shared_ptr<VideoDeviceControls> controls = nullptr);
  ~VideoDeviceUnit() override;

  uint8_t track() const override { return track_; }
  const std::shared_ptr<platform::VideoCaptureDevice>& device() const { return device_; }
  const std::shared_ptr<VideoDeviceControls>& controls() const { return controls_; }
  double frameRate() const { return frameRate_; }
  platform::FourCC colorFormat() const { return colorFormat_; }
  void setColorFormat(platform::FourCC format) { colorFormat_ = format; }
  DynamicRangeMode dynamicRangeMode() const { return dynamicRangeMode_; }

  // Both frame durations := 1/rate in the active format when it can do the
  // rate, else in the format findVideoFormat gives for the active size and the
  // rate (which may be larger); unsupportedFrameRate when there is none, when
  // it does not really offer the rate, or when the device refuses. frameRate
  // changes only on success.
  void setFrameRate(double frameRate);
  // Makes the format findVideoFormat gives for the size and rate active, at the
  // rate when it offers it, else at the rate it offers nearest to it. False
  // when there is none or it already is active; throws unsupportedFrameRate
  // when the device refuses. frameRate changes only when the format offers it.
  bool changeActiveFormat(int width, int height, double frameRate, bool multiCam = true);
  // The format for the preset's size at the unit's frame rate (or the nearest
  // rate it offers), also when that format is active already at another rate;
  // a preset without a size changes nothing, nor does a refusal (logged).
  void applySessionPreset(const std::string& preset) override;
  // Cameras here deliver 8-bit pictures only: hdr is unsupportedDynamicRangeMode.
  void setDynamicRangeMode(DynamicRangeMode mode);

  VideoOrientation videoOrientation() const { return videoOrientation_; }
  // Stored; applied as the device's rotation where it has that control.
  void setVideoOrientation(VideoOrientation orientation);
  bool isVideoMirrored() const { return isVideoMirrored_; }
  // Stored; applied as the device's horizontal flip where it has that control.
  void setVideoMirrored(bool mirrored);
  bool isTorchModeSupported(TorchMode mode) const;
  // Throws unsupportedControl when the device has no torch or refuses the mode.
  void setTorchMode(TorchMode mode);

  // Where captured pictures go; none stops delivery to a unit.
  void setSampleBufferDelegate(const std::shared_ptr<VideoCaptureUnit>& unit);

  // Starts delivery and, where the controls have one, the privacy watch.
  void startCapturing() override;
  void stopCapturing() override;
  bool isCapturing() const override;
  // While capturing: whether the privacy control holds the camera.
  bool isInterrupted() const;

 private:
  const uint8_t track_;
  const std::shared_ptr<platform::VideoCaptureDevice> device_;
  const std::shared_ptr<VideoDeviceControls> controls_;
  double frameRate_ = kDefaultFrameRate;
  platform::FourCC colorFormat_ = platform::fourCC("420v");
  VideoOrientation videoOrientation_ = VideoOrientation::portrait;
  bool isVideoMirrored_ = false;
  DynamicRangeMode dynamicRangeMode_ = DynamicRangeMode::sdr;

  // formats[index] active at the duration for `frameRate`; unsupportedFrameRate
  // when the device refuses.
  void configure(const std::vector<platform::VideoCaptureFormat>& formats, size_t index, double frameRate);
  // One start of the driver; true when a stop and a start came meanwhile and
  // the stream must be started once more.
  bool startStream(uint64_t generation);
  bool takeStartAgainLocked();
  void watchPrivacy(const std::shared_ptr<VideoCaptureUnit>& unit, uint64_t generation);
  // On the capture unit's queue, in the order the watch saw the changes.
  void privacyChanged(bool on);

  mutable std::mutex mutex_;
  std::weak_ptr<VideoCaptureUnit> dataOutput_;
  bool isCapturing_ = false;
  // One thread at a time starts or stops the device: the one that set
  // isStarting_ or isStopping_. A start may come from the session's restart
  // timer while the mixer stops the session: a stop that finds the driver
  // still starting leaves the closing to the start, once the driver returns;
  // a start or stop that finds a stop in the driver waits for it.
  bool isStarting_ = false;
  bool isStopping_ = false;
  std::condition_variable ownerDone_;
  bool stopRequested_ = false;
  // A start came after that stop: the driver's return starts the stream again.
  bool startAgain_ = false;
  // Counts starts and stops: what a stream stopped since tells is stale.
  uint64_t generation_ = 0;
  bool isInterrupted_ = false;
  std::unique_ptr<VideoDeviceControls::PrivacyWatch> privacyWatch_;
};

}  // namespace medley
