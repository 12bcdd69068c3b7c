#pragma once
// The machine's own device layers, as the Studio wires them: V4L2 cameras, the
// sound server's microphones and capture, X11 screen capture. Without a sound
// server the microphone parts are absent (nothing is listed, nothing captured).
#include <memory>

#include "Platform/Audio/AudioCapture.h"
#include "Platform/Audio/PulseAudioContext.h"
#include "Platform/Capture/ScreenCapture.h"
#include "Quarzadel/Capture/DeviceListing.h"

namespace quarzadel {

struct SystemDevices {
  std::shared_ptr<CameraListing> cameras;
  std::shared_ptr<MicrophoneListing> microphones;      // null without a sound server
  std::shared_ptr<platform::AudioCapture> audioCapture;  // null without a sound server
  std::shared_ptr<platform::ScreenCapturer> screenCapturer;

  // `soundServer` null: connects to the default server (and goes without when it cannot).
  static SystemDevices make(std::shared_ptr<platform::PulseAudioContext> soundServer = nullptr);
};

}  // namespace quarzadel
