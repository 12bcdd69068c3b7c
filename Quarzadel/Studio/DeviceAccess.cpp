#include "Quarzadel/Studio/DeviceAccess.h"

#include <unistd.h>

#include "Platform/Capture/VideoCaptureDevices.h"

namespace quarzadel {

StudioEnginePermission DeviceAccess::camera(const std::string& devDir, const std::string& sysDir) {
  const auto nodes = platform::listVideoCaptureDevices(devDir, sysDir);
  if (nodes.empty()) return StudioEnginePermission::granted;
  for (const auto& node : nodes)
    if (::access(node.path.c_str(), R_OK | W_OK) == 0) return StudioEnginePermission::granted;
  return StudioEnginePermission::denied;
}

StudioEnginePermission DeviceAccess::microphone(bool soundServerConnected) {
  return soundServerConnected ? StudioEnginePermission::granted : StudioEnginePermission::denied;
}

}  // namespace quarzadel
