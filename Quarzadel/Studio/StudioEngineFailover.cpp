// The Studio's automatic failover between cameras and microphones.
#include "Quarzadel/Studio/StudioEngine.h"

namespace quarzadel {

void StudioEngine::handleVideoEvent(const ProgramEvent& event) {}

void StudioEngine::handleAudioEvent(const ProgramEvent& event) {}

bool StudioEngine::mayRestart(const std::string& id) { return false; }

void StudioEngine::cameraDidSuspend(const std::string& id) {}

void StudioEngine::cameraDidResume(const std::string& id) {}

void StudioEngine::reopenIfStillOnAir(const std::string& id) {}

void StudioEngine::leaveScreenShare() {}

void StudioEngine::reactToDeviceChanges(const std::set<std::string>& oldCameraIDs,
                                        const std::set<std::string>& newlySuspended,
                                        const std::set<std::string>& resumed,
                                        const std::optional<std::string>& oldDefaultMicID) {}

}  // namespace quarzadel
