#include "Quarzadel/Studio/CameraPreference.h"

#include <algorithm>

namespace quarzadel {

std::optional<CameraDevice> CameraPreference::preferred(const std::vector<CameraDevice>& cameras,
                                                        const std::set<std::string>& excluding) {
  for (const auto kind : kOrder) {
    for (const auto& camera : cameras) {
      if (camera.kind != kind || camera.isSuspended || excluding.count(camera.id)) continue;
      return camera;
    }
  }
  return std::nullopt;
}

std::optional<std::string> CameraPreference::initial(const std::vector<CameraDevice>& cameras,
                                                     const std::optional<std::string>& initialCamera,
                                                     const std::optional<std::string>& storedCamera) {
  const auto available = [&](const std::optional<std::string>& id) {
    return id && std::any_of(cameras.begin(), cameras.end(),
                             [&](const CameraDevice& c) { return c.id == *id && !c.isSuspended; });
  };
  if (available(initialCamera)) return initialCamera;
  if (available(storedCamera)) return storedCamera;
  if (auto camera = preferred(cameras, {})) return camera->id;
  return std::nullopt;
}

}  // namespace quarzadel
