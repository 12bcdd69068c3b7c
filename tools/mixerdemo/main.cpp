// mixerdemo: a camera and a microphone through the media mixer into an RTMP
// stream, the way a program uses the libraries. The camera is a V4L2 node (the
// first one unless named) with its controls (mirroring, the privacy switch);
// the microphone is a PulseAudio source (the server's default unless named).
//
//   mixerdemo --url rtmp://host/app --key NAME [--seconds 10] [--camera /dev/videoN]
//             [--microphone SOURCE] [--offscreen]
//
// Passthrough (the default) sends the camera's pictures as they come;
// --offscreen sends the compositor's 1280x720 canvas at the mixer's frame rate.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Mixer/V4L2DeviceControls.h"
#include "Platform/Audio/PulseAudioCapture.h"
#include "Platform/Capture/V4L2Device.h"
#include "Platform/Capture/VideoCaptureDevices.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Memory/MallocSettings.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

namespace {

struct Options {
  std::string url, key, camera, microphone;
  double seconds = 10;
  bool offscreen = false;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: mixerdemo --url rtmp://host/app --key NAME [--seconds 10] [--camera /dev/videoN]\n"
               "                 [--microphone SOURCE] [--offscreen]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--url") o.url = value();
    else if (a == "--key") o.key = value();
    else if (a == "--seconds") o.seconds = std::stod(value());
    else if (a == "--camera") o.camera = value();
    else if (a == "--microphone") o.microphone = value();
    else if (a == "--offscreen") o.offscreen = true;
    else usage();
  }
  if (o.url.empty() || o.key.empty() || !(o.seconds > 0)) usage();
  return o;
}

// Tells when the camera's privacy switch holds capture and when it lets go.
platform::Async<void> reportInterruptions(platform::AsyncStream<bool> interrupted) {
  while (auto on = co_await interrupted.next()) {
    std::printf("mixerdemo: capture %s\n", *on ? "interrupted by the privacy switch" : "running");
  }
}

int run(const Options& o) {
  using platform::blockingWait;
  const auto cameras = platform::listVideoCaptureDevices();
  const platform::VideoCaptureDeviceInfo* camera = nullptr;
  for (const auto& c : cameras) {
    if (o.camera.empty() || c.path == o.camera) {
      camera = &c;
      break;
    }
  }
  if (!camera) {
    std::fprintf(stderr, "mixerdemo: no camera%s%s\n", o.camera.empty() ? "" : " at ", o.camera.c_str());
    return 1;
  }
  auto microphone = std::make_shared<platform::PulseAudioCapture>(platform::PulseAudioContext::connect());

  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::single, false);
  auto connection = rtmpmedley::RTMPConnection::make();
  auto stream = rtmpmedley::RTMPStream::make(connection);
  // The stream takes track 255: the mixed picture and the mixed sound.
  blockingWait(mixer->addOutput(stream));
  auto device = std::make_shared<platform::V4L2Device>(*camera);
  blockingWait(mixer->attachVideo(
      device, 0, [](medley::VideoDeviceUnit& unit) { unit.setVideoMirrored(true); },
      std::make_shared<medley::V4L2DeviceControls>(camera->path)));
  blockingWait(mixer->attachAudio(microphone, o.microphone, 0));
  const auto mode = o.offscreen ? medley::VideoMixerSettings::Mode::offscreen
                                : medley::VideoMixerSettings::Mode::passthrough;
  blockingWait(mixer->setVideoMixerSettings({mode, false, 0}));

  medley::VideoCodecSettings video;
  video.videoSize = {1280, 720};
  if (!o.offscreen) {
    const auto formats = device->formats();
    if (const auto active = device->activeFormatIndex(); active && *active < formats.size())
      video.videoSize = {double(formats[*active].width), double(formats[*active].height)};
  }
  blockingWait(stream->setVideoSettings(video));
  blockingWait(stream->setAudioSettings(medley::AudioCodecSettings{}));
  blockingWait(connection->connect(o.url));
  blockingWait(stream->publish(o.key));

  auto interruptions = platform::spawn(platform::Runtime::shared()->globalQueue(), reportInterruptions(mixer->isInturreped()));
  blockingWait(mixer->startRunning());
  std::printf("mixerdemo: %s and %s to %s/%s for %.0f s\n", camera->name.c_str(),
              o.microphone.empty() ? "the default microphone" : o.microphone.c_str(), o.url.c_str(), o.key.c_str(),
              o.seconds);
  std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
  // Every task of the mixer has ended when this returns.
  blockingWait(mixer->stopRunning());
  interruptions.cancel();

  const auto sent = blockingWait(stream->snapshot());
  std::printf("mixerdemo: sent %llu video and %llu audio messages\n",
              static_cast<unsigned long long>(sent.videoMessages), static_cast<unsigned long long>(sent.audioMessages));
  blockingWait(stream->finishOutgoing());
  blockingWait(connection->close());
  return sent.videoMessages > 0 && sent.audioMessages > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  const Options options = parse(argc, argv);
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mixerdemo: %s\n", e.what());
    return 1;
  }
}
