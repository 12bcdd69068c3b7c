#pragma once
// The machine's own device layers, as the Studio wires them: V4L2 cameras, the
// sound server's microphones and capture, X11 screen capture. Without a sound
// server the microphone parts are absent (nothing is listed, nothing captured)
// until a later try reaches one.
#include <functional>
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
  // Connects to the sound server, throwing (or giving null) when none answers;
  // empty: there is none to try. make() sets the default server.
  std::function<std::shared_ptr<platform::PulseAudioContext>()> soundServer;

  // `soundServer` null: connects to the default server (and goes without when it cannot).
  static SystemDevices make(std::shared_ptr<platform::PulseAudioContext> soundServer = nullptr);

  // Without microphones, tries the sound server again: when it answers now, its
  // microphones and capture are made. True when there are microphones.
  bool reachSoundServer();
  // Makes the microphone listing and capture of a connected sound server.
  void useSoundServer(std::shared_ptr<platform::PulseAudioContext> context);
};

}  // namespace quarzadel
