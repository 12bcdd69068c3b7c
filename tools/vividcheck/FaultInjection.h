#pragma once
// The test camera's error-injection controls: a button that makes the driver
// refuse the next buffer request, as a camera that cannot stream again would;
// and unplugging a camera (unbinding it from its driver, as a USB disconnect
// does) and plugging it back in.
#include <optional>
#include <string>

namespace vividcheck {

// Presses the driver's button that fails the next VIDIOC_REQBUFS of the camera
// at `path`; false (and the reason printed) when it has none.
bool failNextBufferRequest(const std::string& path);

// Where an unplugged camera was bound.
struct Unplugged {
  std::string driver;  // the driver's directory in sysfs
  std::string device;  // the device's name there
  std::string node;    // its /dev/video node
};

// Unbinds the device behind a /dev/video node from its driver: the kernel then
// unregisters the node as it does when a camera is unplugged. None when it cannot.
std::optional<Unplugged> unplug(const std::string& node);
// Binds it again and waits (up to five seconds) for its node to come back.
bool plugBackIn(const Unplugged& camera);

}  // namespace vividcheck
