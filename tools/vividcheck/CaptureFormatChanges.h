#pragma once
// The Studio's camera capture over a real camera while it streams: its format
// goes back and forth between the choices for two program settings, and
// pictures of the chosen size must keep coming after each change; a change
// whose restart the driver refuses must be told once, as the camera's stop; and
// a camera unplugged while its format keeps changing must be told once, as its
// disconnection.
#include "Platform/Capture/VideoCaptureDeviceInfo.h"
#include "Quarzadel/Program/StreamConfig.h"

namespace vividcheck {

// Prints what happened; true when every change held. Releases the camera.
bool checkCaptureFormatChanges(const platform::VideoCaptureDeviceInfo& camera, const quarzadel::StreamConfig& first,
                               const quarzadel::StreamConfig& second, int changes);
bool checkCaptureRestartFailure(const platform::VideoCaptureDeviceInfo& camera, const quarzadel::StreamConfig& first,
                                const quarzadel::StreamConfig& second);
// Plugs the camera back in afterwards.
bool checkCaptureUnplugDuringFormatChanges(const platform::VideoCaptureDeviceInfo& camera,
                                           const quarzadel::StreamConfig& first, const quarzadel::StreamConfig& second);

}  // namespace vividcheck
