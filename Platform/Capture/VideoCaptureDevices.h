#pragma once
// The system's video capture devices: every /dev/video node that captures
// pictures by streaming (metadata and output nodes are left out), in node order.
#include <string>
#include <vector>

#include "Platform/Capture/VideoCaptureDeviceInfo.h"

namespace platform {

// `devDir` and `sysDir` are for tests; a node that cannot be opened (no
// permission) is still listed, under its node path, with the name sysfs gives.
std::vector<VideoCaptureDeviceInfo> listVideoCaptureDevices(const std::string& devDir = "/dev",
                                                            const std::string& sysDir = "/sys/class/video4linux");

// What the driver says of one node, turned into a listing entry. `removable` is
// the USB port's sysfs "removable" attribute ("fixed" for built-in ports).
VideoCaptureDeviceInfo describeVideoCaptureDevice(const std::string& path, const std::string& card,
                                                  const std::string& busInfo, const std::string& driver,
                                                  const std::string& removable);

}  // namespace platform
