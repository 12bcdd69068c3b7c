#pragma once
// One camera as a picture source of the program. All work on the devices of all
// cameras (opening, choosing the format, tearing down) runs on one serial queue
// shared by the process; frames go from the device's own thread straight onto the
// consumer's queue, at most one waiting there at a time, so a busy or stalled
// consumer gets no backlog and a silent camera never holds the consumer's queue.
// Each object reports at most one failure in its life, as a sentence for the host.
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Capture/VideoCaptureDevice.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Quarzadel/Capture/CameraFormatPicker.h"
#include "Quarzadel/Program/VideoFrameSource.h"

namespace quarzadel {

class CameraCapture final : public VideoFrameSource, public std::enable_shared_from_this<CameraCapture> {
 public:
  static constexpr const char* kPermissionSentence =
      "Quarzadel isn't allowed to use the camera. Turn it on in System Settings \u2192 Privacy & Security \u2192 "
      "Camera.";

  // The queue of every camera's device work, made on first use.
  static std::shared_ptr<platform::SerialQueue> sessionQueue();

  // `sessionQueue` defaults to the shared one; tests pass their own.
  static std::shared_ptr<CameraCapture> make(std::shared_ptr<platform::VideoCaptureDevice> device,
                                             const StreamConfig& target,
                                             std::shared_ptr<platform::SerialQueue> sessionQueue = nullptr);
  // The system's camera with this unique identifier (platform::listVideoCaptureDevices), or
  // nullptr when none has it.
  static std::shared_ptr<CameraCapture> makeForDevice(const std::string& uniqueID, const StreamConfig& target);

  CameraCapture(std::shared_ptr<platform::VideoCaptureDevice> device, const StreamConfig& target,
                std::shared_ptr<platform::SerialQueue> sessionQueue);
  ~CameraCapture() override;

  std::string sourceID() const override { return sourceID_; }
  std::string displayName() const override { return displayName_; }
  void start(std::shared_ptr<platform::SerialQueue> deliveryQueue, FrameHandler onFrame,
             FailureHandler onFailure) override;
  void stop() override;
  void apply(const StreamConfig& target) override;
  bool prefersFit() const override { return false; }

  // The sentence for an open that failed: the permission sentence for a refused
  // permission, otherwise "<name> couldn't start: <description>".
  static std::string startFailureMessage(const platform::VideoCaptureError& error, const std::string& name);

  // Read on the session queue (as the log lines do).
  const std::string& formatSummary() const { return formatSummary_; }
  bool hasFailed() const { return failed_.load(); }

 private:
  void installObservers();
  void configure(const std::shared_ptr<platform::SerialQueue>& deliveryQueue);
  // False when the change ended the stream, which could not restart.
  bool applyBestFormat();
  void applyTarget(const StreamConfig& target);
  void reportFailure(const std::string& sentence);
  void failOnce(const std::string& sentence);
  void deliver(const platform::PixelBufferRef& picture, const platform::MediaTime& time);

  const std::shared_ptr<platform::VideoCaptureDevice> device_;
  const std::string sourceID_;
  const std::string displayName_;
  const std::shared_ptr<platform::SerialQueue> sessionQueue_;
  StreamConfig target_;  // session queue
  FrameHandler onFrame_;
  FailureHandler onFailure_;
  std::shared_ptr<platform::SerialQueue> deliveryQueue_;
  // Set while the device's reports are wanted (from start to stop); the device
  // thread reads it.
  const std::shared_ptr<std::atomic<bool>> observing_ = std::make_shared<std::atomic<bool>>(false);
  // The name the device's reports use, as it was when they were installed.
  std::string observedName_;
  std::atomic<bool> failed_{false};
  // Frames handed to the delivery queue and not yet delivered.
  std::shared_ptr<std::atomic<int>> framesInFlight_ = std::make_shared<std::atomic<int>>(0);
  std::string formatSummary_;  // session queue
};

}  // namespace quarzadel
