#pragma once
// The media mixer over a real camera: attached through the mixer's capture
// unit, its pictures reach an output of its track and one of the mixed picture,
// first as they come (passthrough), then composited on the display-link clock
// (offscreen); each output counts them and checks their size, times and, in
// passthrough, their rate.
#include <cstddef>
#include <string>

#include "Platform/Capture/VideoCaptureDeviceInfo.h"

namespace vividcheck {

// Prints what arrived; true when every check held. Releases the camera. The
// session runs with `preset`; a preset of a size makes the camera stream at it,
// at the rate it offers nearest to the mixer's. With `leftSlow` the camera is
// first left at its slowest rate, as an earlier program could leave it.
bool checkMixer(const platform::VideoCaptureDeviceInfo& camera, size_t wanted, const std::string& preset,
                bool leftSlow = false);

// While the mixer streams the camera (passthrough), the session preset goes
// back and forth between two sizes `changes` times: pictures of the new size
// must come after each. Then the driver refuses the restart of one more change:
// the mixer's reader of device failures must hear it once, and the session's
// restart brings the pictures back. Releases the camera.
bool checkMixerFormatChanges(const platform::VideoCaptureDeviceInfo& camera, const std::string& first,
                             const std::string& second, int changes);

// While the preset goes back and forth, the camera is unplugged: the mixer's
// reader of device failures hears it once, and the session does not start the
// camera again (which would be told again). Plugs the camera back in.
bool checkMixerUnplugDuringFormatChanges(const platform::VideoCaptureDeviceInfo& camera, const std::string& first,
                                         const std::string& second);

}  // namespace vividcheck
