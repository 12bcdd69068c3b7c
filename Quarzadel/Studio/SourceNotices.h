#pragma once
// What the Studio tells the host about its cameras and microphones, word for
// word. The dashes are em dashes with a space on each side.
#include <string>

#include "Quarzadel/Capture/CameraDevice.h"

namespace quarzadel::sourcenotices {

inline const std::string kNoLongerConnected = "That camera is no longer connected.";
inline const std::string kSwitchBack = "Switch Back";

// A chosen camera that is turned off: it goes on air when it comes back.
inline std::string chosenCameraSuspended(const CameraDevice& camera) {
  return camera.name + (camera.kind == CameraDevice::Kind::builtIn
                            ? " is off while the lid is closed. It comes on when you open the lid."
                            : " is turned off. It comes on as soon as it's available again.");
}

// A camera on air or about to be that is turned off, with no other taking over.
inline std::string cameraSuspended(const CameraDevice& camera) {
  return camera.name + (camera.kind == CameraDevice::Kind::builtIn
                            ? " is off while the lid is closed. Open the lid, or choose another camera."
                            : " is turned off. Check its privacy cover, or choose another camera.");
}

inline std::string couldNotSwitchCamera(const std::string& name, const std::string& reason) {
  return "Couldn't switch to " + name + ". " + reason;
}
inline std::string cameraStoppedSwitched(const std::string& name, const std::string& other) {
  return name + " stopped \u2014 switched to " + other + ".";
}
inline std::string cameraStopped(const std::string& name) { return name + " stopped. Choose another camera."; }
inline std::string cameraTurnedOffSwitched(const std::string& name, const std::string& other) {
  return name + " turned off \u2014 switched to " + other + ".";
}
inline std::string cameraBack(const std::string& name) { return name + " is back."; }

inline std::string couldNotUseMicrophone(const std::string& name, const std::string& reason) {
  return "Couldn't use " + name + ". " + reason;
}
inline std::string microphoneStoppedNowUsing(const std::string& name, const std::string& other) {
  return name + " stopped \u2014 now using " + other + ".";
}
inline std::string microphoneStopped(const std::string& name) {
  return name + " stopped. The stream continues without sound until a microphone is available.";
}

}  // namespace quarzadel::sourcenotices
