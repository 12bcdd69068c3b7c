#include "Quarzadel/Capture/SystemDevices.h"

#include "Platform/Audio/PulseAudioCapture.h"
#include "Quarzadel/Capture/PulseMicrophoneListing.h"
#include "Quarzadel/Capture/ScreenShare.h"
#include "Quarzadel/Capture/V4L2CameraListing.h"

namespace quarzadel {

SystemDevices SystemDevices::make(std::shared_ptr<platform::PulseAudioContext> soundServer) {
  SystemDevices devices;
  devices.cameras = std::make_shared<V4L2CameraListing>();
  devices.screenCapturer = ScreenShare::systemCapturer();
  if (!soundServer) {
    try {
      soundServer = platform::PulseAudioContext::connect();
    } catch (const std::exception&) {
    }
  }
  if (soundServer) {
    devices.microphones = std::make_shared<PulseMicrophoneListing>(soundServer);
    devices.audioCapture = std::make_shared<platform::PulseAudioCapture>(soundServer);
  }
  return devices;
}

}  // namespace quarzadel
