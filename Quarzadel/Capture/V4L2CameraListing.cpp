#include "Quarzadel/Capture/V4L2CameraListing.h"

#include "Platform/Capture/PrivacyControlWatcher.h"
#include "Platform/Capture/VideoCaptureDevices.h"
#include "Platform/Capture/VideoDeviceWatcher.h"
#include "Quarzadel/Capture/V4L2CameraDescription.h"

namespace quarzadel {

namespace {

template <class Watcher>
class OwnedWatch final : public DeviceWatch {
 public:
  explicit OwnedWatch(std::unique_ptr<Watcher> watcher) : watcher_(std::move(watcher)) {}

 private:
  std::unique_ptr<Watcher> watcher_;
};

}  // namespace

V4L2CameraListing::V4L2CameraListing(std::string devDir, std::string sysDir, bool preferUdev)
    : devDir_(std::move(devDir)), sysDir_(std::move(sysDir)), preferUdev_(preferUdev) {}

std::vector<CameraListing::Camera> V4L2CameraListing::cameras() {
  std::vector<Camera> out;
  std::map<std::string, std::string> paths;
  for (const auto& info : platform::listVideoCaptureDevices(devDir_, sysDir_)) {
    out.push_back({cameraDescription(info), true});
    paths.emplace(info.uniqueID, info.path);
  }
  std::lock_guard lock(mutex_);
  paths_ = std::move(paths);
  return out;
}

std::unique_ptr<DeviceWatch> V4L2CameraListing::watchList(std::function<void()> onChange) {
  auto watcher = platform::VideoDeviceWatcher::start(std::move(onChange), devDir_, preferUdev_);
  if (!watcher) return nullptr;
  return std::make_unique<OwnedWatch<platform::VideoDeviceWatcher>>(std::move(watcher));
}

std::string V4L2CameraListing::pathOf(const std::string& uniqueID) {
  std::lock_guard lock(mutex_);
  auto it = paths_.find(uniqueID);
  return it == paths_.end() ? std::string() : it->second;
}

std::unique_ptr<DeviceWatch> V4L2CameraListing::watchSuspension(const std::string& uniqueID,
                                                                std::function<void()> onChange) {
  const std::string path = pathOf(uniqueID);
  if (path.empty()) return nullptr;
  auto watcher = platform::PrivacyControlWatcher::start(path, [onChange = std::move(onChange)](bool) { onChange(); });
  if (!watcher) return nullptr;
  return std::make_unique<OwnedWatch<platform::PrivacyControlWatcher>>(std::move(watcher));
}

bool V4L2CameraListing::isSuspended(const std::string& uniqueID) {
  for (const auto& info : platform::listVideoCaptureDevices(devDir_, sysDir_))
    if (info.uniqueID == uniqueID) return info.isSuspended;
  return false;
}

}  // namespace quarzadel
