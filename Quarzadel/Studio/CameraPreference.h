#pragma once
// Which camera the Studio takes by itself: at the start, when the on-air camera
// fails or is turned off, and when a screen share ends. A USB camera is what a
// host plugs in on purpose, so it goes first; the shared screen is never taken
// by preference.
#include <array>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Quarzadel/Capture/CameraDevice.h"

namespace quarzadel {

struct CameraPreference {
  static constexpr std::array<CameraDevice::Kind, 6> kOrder{
      CameraDevice::Kind::usb,        CameraDevice::Kind::other,    CameraDevice::Kind::builtIn,
      CameraDevice::Kind::continuity, CameraDevice::Kind::virtual_, CameraDevice::Kind::deskView};

  // The first camera of the best-ranked kind among the listed, unsuspended ones
  // that are not excluded; ties go to the one earlier in the list.
  static std::optional<CameraDevice> preferred(const std::vector<CameraDevice>& cameras,
                                               const std::set<std::string>& excluding);

  // The camera to start with: `initialCamera` ("InitialCamera"), else
  // `storedCamera` ("StudioCameraID"), when it names a listed camera that is not
  // suspended; else the preferred camera. A stored name that does not fit is
  // passed over silently.
  static std::optional<std::string> initial(const std::vector<CameraDevice>& cameras,
                                            const std::optional<std::string>& initialCamera,
                                            const std::optional<std::string>& storedCamera);
};

}  // namespace quarzadel
