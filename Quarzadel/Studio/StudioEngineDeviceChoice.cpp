// The Studio's camera and microphone choice.
#include "Quarzadel/Studio/StudioEngine.h"

namespace quarzadel {

void StudioEngine::devicesDidChange() {}

std::optional<std::string> StudioEngine::initialCameraID() const { return std::nullopt; }

std::optional<CameraDevice> StudioEngine::preferredCamera(const std::set<std::string>& excluding) const {
  return std::nullopt;
}

void StudioEngine::selectCamera(const std::string& id) {}

void StudioEngine::selectNextCamera() {}

void StudioEngine::switchToCamera(const std::string& id) {}

std::shared_ptr<VideoFrameSource> StudioEngine::makeVideoSource(const std::string& id) { return nullptr; }

bool StudioEngine::isCameraSuspended(const std::string& id) const { return false; }

void StudioEngine::selectMicrophone(const std::optional<std::string>& id) {}

void StudioEngine::applyMicSelection() {}

std::optional<MicDevice> StudioEngine::systemDefaultMicrophone() const { return std::nullopt; }

void StudioEngine::switchToMicrophone(const std::string& id) {}

std::shared_ptr<AudioFrameSource> StudioEngine::makeAudioSource(const std::string& id) { return nullptr; }

std::string StudioEngine::systemMicrophoneLabel() const { return {}; }

std::optional<std::string> StudioEngine::cameraName(const std::optional<std::string>& id) const {
  return std::nullopt;
}

std::optional<std::string> StudioEngine::microphoneName(const std::optional<std::string>& id) const {
  return std::nullopt;
}

std::optional<CameraDevice> StudioEngine::suspendedCurrentCamera() const { return std::nullopt; }

std::string StudioEngine::suspendedCameraMessage(const CameraDevice& camera) { return {}; }

platform::Async<StudioEngine::Permission> StudioEngine::requestAccess(platform::MediaType type) {
  co_return Permission::unknown;
}

void StudioEngine::refreshPermissions() {}

platform::Async<void> StudioEngine::setVideoBitrate(int64_t kbps) { co_return; }

}  // namespace quarzadel
