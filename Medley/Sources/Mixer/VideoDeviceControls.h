#pragma once
// The controls of a camera beyond its formats: flip, rotation and the torch,
// where the device has them, and the privacy control (a shutter or switch that
// blinds the sensor) that interrupts capture. V4L2DeviceControls is the real
// one; a device without them answers false and the unit reports the control
// unsupported.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace medley {

class VideoDeviceControls {
 public:
  enum class Control { horizontalFlip, rotation, torch };
  virtual ~VideoDeviceControls() = default;
  // Whether the device has the control and can take `value`.
  virtual bool isSupported(Control control, int32_t value) const = 0;
  // False when the device refused or has no such control.
  virtual bool set(Control control, int32_t value) = 0;
  virtual std::optional<int32_t> get(Control control) const = 0;

  // A running watch of the privacy control; dropping it (never from its own
  // callback) stops the watch and waits for a callback under way.
  class PrivacyWatch {
   public:
    virtual ~PrivacyWatch() = default;
  };
  // Whether the privacy control is on; none when the device has none.
  virtual std::optional<bool> privacy() const { return std::nullopt; }
  // Calls `onChange` with each new value of the privacy control, on a thread
  // of the watch's own; none when the device has no privacy control.
  virtual std::unique_ptr<PrivacyWatch> watchPrivacy(std::function<void(bool on)> onChange) {
    (void)onChange;
    return nullptr;
  }
};

}  // namespace medley
