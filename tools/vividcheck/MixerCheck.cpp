#include "tools/vividcheck/MixerCheck.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"
#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Mixer/V4L2DeviceControls.h"
#include "Platform/Capture/V4L2Device.h"
#include "Platform/Concurrency/BlockingWait.h"

namespace vividcheck {

namespace {

// Records the pictures of one track as the mixer hands them over.
class CountingOutput final : public medley::MediaMixerOutput {
 public:
  explicit CountingOutput(uint8_t track) { tracks_.videoTrackId = track; tracks_.audioTrackId = std::nullopt; }

  platform::Async<std::optional<uint8_t>> videoTrackId() override { co_return tracks_.videoTrackId; }
  platform::Async<std::optional<uint8_t>> audioTrackId() override { co_return tracks_.audioTrackId; }
  void mixer(medley::MediaMixer&, const platform::SampleBufferRef& buffer) override {
    std::lock_guard lock(mutex_);
    const auto& picture = buffer->imageBuffer();
    if (!picture) {
      ++withoutPicture_;
    } else {
      sizes_.emplace_back(picture->width(), picture->height());
    }
    times_.push_back(buffer->presentationTime().seconds());
    changed_.notify_all();
  }
  void mixer(medley::MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override {}
  platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override {
    tracks_.select(id, mediaType);
    co_return;
  }

  bool waitFor(size_t count, double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return times_.size() >= count; });
  }

  // Pictures, all of width x height, with increasing times, none without a picture.
  bool report(const char* name, size_t wanted, int width, int height) {
    std::lock_guard lock(mutex_);
    const bool increasing =
        std::adjacent_find(times_.begin(), times_.end(), [](double a, double b) { return b <= a; }) == times_.end();
    const bool sized = std::all_of(sizes_.begin(), sizes_.end(), [&](const auto& s) {
      return s.first == width && s.second == height;
    });
    const double span = times_.size() > 1 ? times_.back() - times_.front() : 0;
    std::printf("mixer %s: %zu pictures, %dx%d %s, times %s, %.1f fps\n", name, times_.size(),
                sizes_.empty() ? 0 : sizes_.back().first, sizes_.empty() ? 0 : sizes_.back().second,
                sized && withoutPicture_ == 0 ? "all" : "NOT all", increasing ? "increasing" : "NOT increasing",
                span > 0 ? double(times_.size() - 1) / span : 0.0);
    return times_.size() >= wanted && sized && withoutPicture_ == 0 && increasing;
  }

 private:
  medley::MediaMixerTrackSelection tracks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<double> times_;
  std::vector<std::pair<int, int>> sizes_;
  size_t withoutPicture_ = 0;
};

// One run of the mixer in `mode`: the camera's track and the mixed picture to
// their outputs until both have `wanted` pictures (or a minute has gone).
bool runMode(const std::shared_ptr<medley::MediaMixer>& mixer, medley::VideoMixerSettings::Mode mode, size_t wanted,
             int cameraWidth, int cameraHeight) {
  using platform::blockingWait;
  const bool offscreen = mode == medley::VideoMixerSettings::Mode::offscreen;
  auto track0 = std::make_shared<CountingOutput>(0);
  auto mixed = std::make_shared<CountingOutput>(medley::kMixedTrack);
  blockingWait(mixer->addOutput(track0));
  blockingWait(mixer->addOutput(mixed));
  blockingWait(mixer->setVideoMixerSettings(medley::VideoMixerSettings(mode, false, 0)));
  blockingWait(mixer->startRunning());
  const bool arrived = track0->waitFor(wanted, 60) && mixed->waitFor(wanted, 60);
  // The session is interrupted exactly while the camera's privacy control is on.
  const auto controls = mixer->videoIO()->devices().at(0)->controls();
  const auto privacy = controls->privacy();
  const auto session = std::dynamic_pointer_cast<medley::CaptureSession>(mixer->session());
  const bool interrupted = session && session->isInterrupted();
  std::printf("mixer %s: privacy control %s, session %s\n", offscreen ? "offscreen" : "passthrough",
              !privacy ? "none" : *privacy ? "on" : "off", interrupted ? "interrupted" : "not interrupted");
  blockingWait(mixer->stopRunning());
  const size_t tasks = blockingWait(mixer->liveTaskCount());
  blockingWait(mixer->removeOutput(track0));
  blockingWait(mixer->removeOutput(mixed));

  const char* name = offscreen ? "offscreen" : "passthrough";
  std::printf("mixer %s: %s\n", name, arrived ? "pictures arrived" : "pictures MISSING");
  bool ok = track0->report(offscreen ? "offscreen track 0" : "passthrough track 0", wanted, cameraWidth, cameraHeight);
  // Offscreen, the mixed picture is the compositor's canvas; in passthrough it
  // is the camera's own.
  auto canvas = std::pair<int, int>(cameraWidth, cameraHeight);
  if (offscreen) {
    canvas = blockingWait(
        [](std::shared_ptr<medley::MediaMixer> m) -> platform::Async<std::pair<int, int>> {
          const auto size = m->screen()->size();
          co_return std::pair<int, int>(int(size.width), int(size.height));
        }(mixer),
        mixer->screenActor()->queue());
  }
  ok = mixed->report(offscreen ? "offscreen track 255" : "passthrough track 255", wanted, canvas.first,
                     canvas.second) && ok;
  std::printf("mixer %s: tasks alive after stop: %zu\n", name, tasks);
  return arrived && ok && tasks == 0 && session && interrupted == privacy.value_or(false);
}

}  // namespace

bool checkMixer(const platform::VideoCaptureDeviceInfo& camera, size_t wanted, const std::string& preset) {
  using platform::blockingWait;
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::single, false);
  auto device = std::make_shared<platform::V4L2Device>(camera);
  auto controls = std::make_shared<medley::V4L2DeviceControls>(camera.path);
  try {
    blockingWait(mixer->setSessionPreset(preset));
    blockingWait(mixer->attachVideo(
        device, 0, [](medley::VideoDeviceUnit& unit) { unit.setVideoMirrored(true); }, controls));
  } catch (const std::exception& e) {
    std::printf("mixer: the camera cannot be attached: %s\n", e.what());
    return false;
  }
  // Large sizes of the virtual camera stream slower than 30 fps: a refusal keeps
  // the preset's format, as it should.
  try {
    blockingWait(mixer->setFrameRate(30));
    std::printf("mixer: 30 fps\n");
  } catch (const std::exception& e) {
    std::printf("mixer: 30 fps refused, the format stays: %s\n", e.what());
  }
  // The device's controls where it has them: mirroring is its horizontal flip;
  // a torch it lacks is reported unsupported.
  using Control = medley::VideoDeviceControls::Control;
  const auto flip = controls->get(Control::horizontalFlip);
  const bool torch = mixer->videoIO()->devices().at(0)->isTorchModeSupported(medley::TorchMode::on);
  std::printf("mixer: mirrored, horizontal flip %s; torch %s\n", flip ? std::to_string(*flip).c_str() : "none",
              torch ? "supported" : "unsupported");
  const bool controlsOK = !controls->isSupported(Control::horizontalFlip, 1) || flip == 1;
  const auto formats = device->formats();
  const auto active = device->activeFormatIndex();
  if (!active || *active >= formats.size()) {
    std::printf("mixer: the camera has no active format\n");
    return false;
  }
  const int width = formats[*active].width, height = formats[*active].height;
  std::printf("mixer: camera on format %zu %dx%d\n", *active, width, height);
  const auto presetWidth = medley::presetWidth(preset), presetHeight = medley::presetHeight(preset);
  const bool presetOK = !presetWidth || (width == *presetWidth && height == *presetHeight);
  std::printf("mixer: preset %s %s\n", preset.c_str(), presetOK ? "reached the camera" : "did NOT reach the camera");
  bool ok = runMode(mixer, medley::VideoMixerSettings::Mode::passthrough, wanted, width, height) && controlsOK;
  ok = ok && presetOK;
  ok = runMode(mixer, medley::VideoMixerSettings::Mode::offscreen, wanted, width, height) && ok;
  // Detaching releases the camera for what follows.
  blockingWait(mixer->attachVideo(nullptr, 0));
  return ok;
}

}  // namespace vividcheck
