#pragma once
// A V4L2 camera as the camera kinds read a platform capture device: a fixed
// camera is the built-in kind of device on the built-in transport, software
// cameras are on the virtual transport, USB cameras on USB.
#include "Platform/Capture/VideoCaptureDeviceInfo.h"
#include "Quarzadel/Capture/CaptureDeviceDescription.h"

namespace quarzadel {

CaptureDeviceDescription cameraDescription(const platform::VideoCaptureDeviceInfo& info);

}  // namespace quarzadel
