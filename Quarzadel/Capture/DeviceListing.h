#pragma once
// What the device catalogue asks of the platform: the cameras and microphones it
// lists, the system's default input, and word of changes. Each platform layer
// (V4L2, PulseAudio) implements one of these; tests fake them. Change callbacks
// may arrive on any thread and must not be called after the watch is released.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Media/FourCC.h"
#include "Quarzadel/Capture/CaptureDeviceDescription.h"

namespace quarzadel {

// Stops a watch when released.
class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
};

class CameraListing {
 public:
  struct Camera {
    CaptureDeviceDescription description;
    bool isConnected = true;
  };
  virtual ~CameraListing() = default;
  // The cameras in the platform's order.
  virtual std::vector<Camera> cameras() = 0;
  // Cameras were connected or disconnected.
  virtual std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) = 0;
  // One camera's suspended flag changed; none when the platform cannot tell.
  virtual std::unique_ptr<DeviceWatch> watchSuspension(const std::string& uniqueID, std::function<void()> onChange) {
    return nullptr;
  }
  // The flag as it reads now.
  virtual bool isSuspended(const std::string& uniqueID) { return false; }
};

class MicrophoneListing {
 public:
  struct Microphone {
    std::string uniqueID;
    std::string localizedName;
    platform::FourCC transportType = 0;
    bool isConnected = true;
  };
  virtual ~MicrophoneListing() = default;
  // The microphones in the platform's order.
  virtual std::vector<Microphone> microphones() = 0;
  // The system's default input, none when there is none.
  virtual std::optional<std::string> defaultMicrophoneID() = 0;
  // Microphones were connected or disconnected.
  virtual std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) = 0;
  // The default input changed. Sets `status` to 0 on success, else the platform's
  // error code (and returns none).
  virtual std::unique_ptr<DeviceWatch> watchDefaultInput(std::function<void()> onChange, int32_t& status) = 0;
};

// A watch that runs a function when released.
class FunctionWatch final : public DeviceWatch {
 public:
  explicit FunctionWatch(std::function<void()> onRelease) : onRelease_(std::move(onRelease)) {}
  ~FunctionWatch() override {
    if (onRelease_) onRelease_();
  }

 private:
  std::function<void()> onRelease_;
};

}  // namespace quarzadel
