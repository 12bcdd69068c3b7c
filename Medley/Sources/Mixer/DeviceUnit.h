#pragma once
// One capture device bound to a track, as the capture session sees it: the
// session starts its delivery while the session runs and stops it when the
// session stops or the unit is detached.
#include <cstdint>
#include <string>

namespace medley {

class DeviceUnit {
 public:
  virtual ~DeviceUnit() = default;
  virtual uint8_t track() const = 0;
  // Starts delivering to the unit's capture unit; a failure is reported to the
  // session's runtime-error sequence. Not again while capturing.
  virtual void startCapturing() = 0;
  // Stops delivering and waits for the last delivery; safe to repeat. A start
  // still under way on another thread closes the device itself once it returns.
  virtual void stopCapturing() = 0;
  virtual bool isCapturing() const = 0;
  // The session's capture preset (a size such as "1280x720"), at attach and on change.
  virtual void applySessionPreset(const std::string&) {}
};

}  // namespace medley
