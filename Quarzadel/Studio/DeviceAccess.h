#pragma once
// Camera and microphone access on this system. There is no prompt: the camera
// is allowed when the user may open the machine's video nodes, the microphone
// when the sound server accepted our connection.
#include <string>

#include "Quarzadel/Studio/StudioEngineStatus.h"

namespace quarzadel {

struct DeviceAccess {
  // Granted when there is no video node at all (nothing is refused) or when at
  // least one listed node may be opened for reading and writing; denied when
  // every node refuses us. `devDir` and `sysDir` are for tests.
  static StudioEnginePermission camera(const std::string& devDir = "/dev",
                                       const std::string& sysDir = "/sys/class/video4linux");
  // Granted with a connection to the sound server, denied without.
  static StudioEnginePermission microphone(bool soundServerConnected);
};

}  // namespace quarzadel
