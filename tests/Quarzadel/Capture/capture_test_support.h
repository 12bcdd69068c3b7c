#pragma once
// Devices and device listings driven by the test.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Capture/RecordedV4L2.h"
#include "Platform/Capture/VideoCaptureDevice.h"
#include "Quarzadel/Capture/DeviceListing.h"

namespace quarzadel::testing {

// A camera device: formats from a recorded listing, scripted refusals, and frames
// and events sent when the test says (standing in for the device's own thread).
class FakeCameraDevice final : public platform::VideoCaptureDevice {
 public:
  explicit FakeCameraDevice(std::string name = "Desk Camera", std::string listing = platform::testing::kUSBWebcam)
      : formats_(platform::testing::recordedFormats(listing)) {
    info_.uniqueID = "v4l2:usb-0000:00:14.0-2";
    info_.name = std::move(name);
    info_.path = "/dev/video0";
  }

  const platform::VideoCaptureDeviceInfo& info() const override { return info_; }
  void open() override {
    ++opens;
    if (openError) throw *openError;
    isOpen = true;
  }
  std::vector<platform::VideoCaptureFormat> formats() const override {
    return isOpen ? formats_ : std::vector<platform::VideoCaptureFormat>{};
  }
  std::optional<size_t> activeFormatIndex() const override { return active; }
  platform::FrameDuration activeMinFrameDuration() const override { return duration; }
  void configure(size_t index, std::optional<platform::FrameDuration> minFrameDuration) override {
    if (configureError) throw *configureError;
    if (restartError && streaming) {
      // The stream ends with the change and is told once, as the device's thread
      // tells it: as a disconnection when the device went away meanwhile.
      streaming = false;
      event(restartError->kind == platform::VideoCaptureError::Kind::disconnected
                ? platform::VideoCaptureEvent::Kind::disconnected
                : platform::VideoCaptureEvent::Kind::runtimeError,
            restartError->what());
      auto ended = *restartError;
      ended.streamEnded = true;
      throw ended;
    }
    if (active != index) {
      active = index;
      ++formatChanges;
    }
    if (minFrameDuration) duration = *minFrameDuration;
  }
  void startStreaming(FrameHandler onFrame, EventHandler onEvent) override {
    if (streamError) throw *streamError;
    onFrame_ = std::move(onFrame);
    onEvent_ = std::move(onEvent);
    streaming = true;
  }
  void stopStreaming() override { streaming = false; }
  void close() override {
    stopStreaming();
    isOpen = false;
    ++closes;
  }

  // What the device thread would do.
  void frame(platform::PixelBufferRef picture, platform::MediaTime time) {
    if (onFrame_) onFrame_(std::move(picture), time);
  }
  void event(platform::VideoCaptureEvent::Kind kind, std::string description = "") {
    if (onEvent_) onEvent_({kind, std::move(description)});
  }

  void replaceFormats(std::vector<platform::VideoCaptureFormat> formats) { formats_ = std::move(formats); }

  std::optional<platform::VideoCaptureError> openError, configureError, streamError;
  std::optional<platform::VideoCaptureError> restartError;  // of a change while streaming
  std::optional<size_t> active;
  platform::FrameDuration duration;
  int opens = 0, closes = 0, formatChanges = 0;
  bool isOpen = false, streaming = false;

 private:
  platform::VideoCaptureDeviceInfo info_;
  std::vector<platform::VideoCaptureFormat> formats_;
  FrameHandler onFrame_;
  EventHandler onEvent_;
};

// Listings the test edits, with changes it fires.
class FakeCameraListing final : public CameraListing {
 public:
  std::vector<Camera> list;
  std::map<std::string, std::function<void()>> suspensionWatchers;
  std::function<void()> listWatcher;

  std::vector<Camera> cameras() override { return list; }
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override {
    listWatcher = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { listWatcher = nullptr; });
  }
  std::unique_ptr<DeviceWatch> watchSuspension(const std::string& id, std::function<void()> onChange) override {
    suspensionWatchers[id] = std::move(onChange);
    return std::make_unique<FunctionWatch>([this, id] { suspensionWatchers.erase(id); });
  }
  bool isSuspended(const std::string& id) override {
    for (const auto& c : list)
      if (c.description.uniqueID == id) return c.description.isSuspended;
    return false;
  }
  void setSuspended(const std::string& id, bool suspended) {
    for (auto& c : list)
      if (c.description.uniqueID == id) c.description.isSuspended = suspended;
  }
  void fireList() {
    if (listWatcher) listWatcher();
  }
};

class FakeMicrophoneListing final : public MicrophoneListing {
 public:
  std::vector<Microphone> list;
  std::optional<std::string> defaultID;
  int32_t watchStatus = 0;
  std::function<void()> listWatcher;
  std::function<void()> defaultWatcher;

  std::vector<Microphone> microphones() override { return list; }
  std::optional<std::string> defaultMicrophoneID() override { return defaultID; }
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override {
    listWatcher = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { listWatcher = nullptr; });
  }
  std::unique_ptr<DeviceWatch> watchDefaultInput(std::function<void()> onChange, int32_t& status) override {
    status = watchStatus;
    if (status != 0) return nullptr;
    defaultWatcher = std::move(onChange);
    return std::make_unique<FunctionWatch>([this] { defaultWatcher = nullptr; });
  }
  void fireList() {
    if (listWatcher) listWatcher();
  }
  void fireDefault() {
    if (defaultWatcher) defaultWatcher();
  }
};

}  // namespace quarzadel::testing
