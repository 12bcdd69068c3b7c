#pragma once
// A real camera started, stopped and reconfigured from several threads at once:
// the device itself, then through the mixer's device unit. Every start and
// every change must be taken (none refused as busy), and a start after it all
// must stream.
#include "Platform/Capture/VideoCaptureDeviceInfo.h"

namespace vividcheck {

// Prints what happened; true when every check held. Releases the camera.
bool checkStopsDuringFormatChanges(const platform::VideoCaptureDeviceInfo& camera, double seconds);

}  // namespace vividcheck
