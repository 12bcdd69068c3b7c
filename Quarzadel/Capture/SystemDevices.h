#pragma once
// The machine's own device layers, as the Studio wires them: V4L2 cameras, the
// sound server's microphones and capture, X11 screen capture. Without a sound
// server the microphone parts are absent (nothing is listed, nothing captured)
// until a try reaches one. A server may accept and then say nothing until the
// connection times out, so the tries are left to the Studio, off its main queue.
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
  // empty: there is none to try. make() sets the default server. Blocks until
  // the server answers or the connection times out: never call it on the main queue.
  std::function<std::shared_ptr<platform::PulseAudioContext>()> soundServer;

  // With a connected `soundServer` its microphones are used at once; without one
  // nothing is tried here.
  static SystemDevices make(std::shared_ptr<platform::PulseAudioContext> soundServer = nullptr);

  // Makes the microphone listing and capture of a connected sound server.
  void useSoundServer(std::shared_ptr<platform::PulseAudioContext> context);
};

}  // namespace quarzadel
