#pragma once
// One video capture device as the system lists it.
#include <string>

namespace platform {

struct VideoCaptureDeviceInfo {
  // Stable across replugging into the same port and across reboots: "v4l2:" and
  // the bus location (the node's path where the driver gives none).
  std::string uniqueID;
  std::string name;      // the driver's card name
  std::string busInfo;   // "usb-0000:00:14.0-1", "platform:vivid-000"
  std::string driver;    // "uvcvideo", "vivid"
  std::string path;      // "/dev/video0"
  std::string modelID;   // USB "046d:082d" (vendor:product), else the driver's name
  std::string manufacturer;  // the USB device's maker string, when it has one
  bool isBuiltIn = false;  // a fixed (non-removable) device, such as a laptop's camera
  bool isVirtual = false;  // a software device (loopback, test drivers)
  bool isSuspended = false;  // its privacy control is on (cover shut, switch off)

  friend bool operator==(const VideoCaptureDeviceInfo&, const VideoCaptureDeviceInfo&) = default;
};

}  // namespace platform
