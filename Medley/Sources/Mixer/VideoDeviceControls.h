#pragma once
// The controls of a camera beyond its formats: flip, rotation and the torch,
// where the device has them. V4L2DeviceControls is the real one; a device
// without them answers false and the unit reports the control unsupported.
#include <cstdint>
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
};

}  // namespace medley
