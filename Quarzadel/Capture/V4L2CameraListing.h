#pragma once
// The device catalogue's cameras from V4L2: the capturing /dev/video nodes, a
// watcher of nodes coming and going (udev or inotify), and each camera's privacy
// control as its suspended flag.
#include <map>
#include <mutex>
#include <string>

#include "Quarzadel/Capture/DeviceListing.h"

namespace quarzadel {

class V4L2CameraListing final : public CameraListing {
 public:
  // The directories are for tests.
  explicit V4L2CameraListing(std::string devDir = "/dev", std::string sysDir = "/sys/class/video4linux",
                             bool preferUdev = true);

  std::vector<Camera> cameras() override;
  std::unique_ptr<DeviceWatch> watchList(std::function<void()> onChange) override;
  // None for a camera without a privacy control.
  std::unique_ptr<DeviceWatch> watchSuspension(const std::string& uniqueID, std::function<void()> onChange) override;
  bool isSuspended(const std::string& uniqueID) override;

 private:
  std::string pathOf(const std::string& uniqueID);

  const std::string devDir_;
  const std::string sysDir_;
  const bool preferUdev_;
  std::mutex mutex_;
  std::map<std::string, std::string> paths_;  // unique identifier to node, from the last listing
};

}  // namespace quarzadel
