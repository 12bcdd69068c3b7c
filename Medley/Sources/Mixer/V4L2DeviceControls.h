#pragma once
// A camera's controls through its V4L2 node: horizontal flip (mirroring),
// rotation in degrees (orientation), the flash LED in torch mode, and the
// privacy control, watched through the driver's control events.
#include <string>

#include "Medley/Sources/Mixer/VideoDeviceControls.h"

namespace medley {

class V4L2DeviceControls final : public VideoDeviceControls {
 public:
  // Opens the node; a node that cannot be opened supports nothing.
  explicit V4L2DeviceControls(const std::string& path);
  ~V4L2DeviceControls() override;
  V4L2DeviceControls(const V4L2DeviceControls&) = delete;
  V4L2DeviceControls& operator=(const V4L2DeviceControls&) = delete;

  bool isSupported(Control control, int32_t value) const override;
  bool set(Control control, int32_t value) override;
  std::optional<int32_t> get(Control control) const override;
  std::optional<bool> privacy() const override;
  std::unique_ptr<PrivacyWatch> watchPrivacy(std::function<void(bool on)> onChange) override;

 private:
  const std::string path_;
  int fd_ = -1;
};

}  // namespace medley
