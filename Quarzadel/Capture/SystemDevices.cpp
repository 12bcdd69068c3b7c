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
  devices.soundServer = [] { return platform::PulseAudioContext::connect(); };
  if (soundServer) devices.useSoundServer(std::move(soundServer));
  return devices;
}

void SystemDevices::useSoundServer(std::shared_ptr<platform::PulseAudioContext> context) {
  microphones = std::make_shared<PulseMicrophoneListing>(context);
  audioCapture = std::make_shared<platform::PulseAudioCapture>(std::move(context));
}

}  // namespace quarzadel
