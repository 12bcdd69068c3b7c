#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObjectRegistry.h"

#include "RTMPMedley/Sources/RTMP/SharedObject/RTMPSharedObject.h"

namespace rtmpmedley {

RTMPSharedObjectRegistry::RTMPSharedObjectRegistry(std::shared_ptr<platform::Runtime> runtime)
    : runtime_(std::move(runtime)) {}

const std::shared_ptr<RTMPSharedObjectRegistry>& RTMPSharedObjectRegistry::shared() {
  static const auto instance = std::make_shared<RTMPSharedObjectRegistry>();
  return instance;
}

std::string RTMPSharedObjectRegistry::key(const std::string& name, const std::string& remotePath, bool persistence) {
  return remotePath + "/" + name + "?persistence=" + (persistence ? "true" : "false");
}

std::shared_ptr<RTMPSharedObject> RTMPSharedObjectRegistry::getRemote(const std::string& name,
                                                                      const std::string& remotePath,
                                                                      bool persistence) {
  const auto k = key(name, remotePath, persistence);
  if (auto found = objects_.withValue([&](const auto& objects) -> std::shared_ptr<RTMPSharedObject> {
        auto it = objects.find(k);
        return it == objects.end() ? nullptr : it->second;
      }))
    return found;
  std::shared_ptr<RTMPSharedObject> object;
  // Looked up again under the write lock: a miss elsewhere may have stored one meanwhile.
  objects_.mutate([&](auto& objects) {
    auto& slot = objects[k];
    if (!slot) slot = std::make_shared<RTMPSharedObject>(name, remotePath, persistence, runtime_, weak_from_this());
    object = slot;
  });
  return object;
}

size_t RTMPSharedObjectRegistry::count() const {
  return objects_.withValue([](const auto& objects) { return objects.size(); });
}

}  // namespace rtmpmedley
