#include "tools/vividcheck/MixerCheck.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"
#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Mixer/V4L2DeviceControls.h"
#include "Platform/Capture/V4L2Device.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Concurrency/Task.h"
#include "tools/vividcheck/FaultInjection.h"

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

  // Pictures per second over their presentation times; 0 with fewer than two.
  double rate() {
    std::lock_guard lock(mutex_);
    const double span = times_.size() > 1 ? times_.back() - times_.front() : 0;
    return span > 0 ? double(times_.size() - 1) / span : 0.0;
  }

  bool waitFor(size_t count, double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return times_.size() >= count; });
  }

  // Waits for `count` pictures of width x height after the first `from`.
  bool waitForSized(size_t from, size_t count, int width, int height, double seconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      size_t n = 0;
      for (size_t i = from; i < sizes_.size(); ++i) n += sizes_[i] == std::pair<int, int>(width, height);
      return n >= count;
    });
  }
  size_t pictures() {
    std::lock_guard lock(mutex_);
    return sizes_.size();
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

// The rate a format offers nearest to `rate`: the rate itself where a range
// holds it, else the nearest end of a range (the faster of two as near).
double nearestOffered(const platform::VideoCaptureFormat& format, double rate) {
  double nearest = 0;
  bool found = false;
  for (const auto& range : format.frameRateRanges) {
    if (rate >= range.minFrameRate - 0.01 && rate <= range.maxFrameRate + 0.01) return rate;
    for (const double offered : {range.minFrameRate, range.maxFrameRate}) {
      const double distance = std::abs(offered - rate), best = std::abs(nearest - rate);
      if (!found || distance < best || (distance == best && offered > nearest)) nearest = offered;
      found = true;
    }
  }
  return nearest;
}

// Leaves the camera as an earlier program could: on the format of the preset's
// size (else the one active) at its slowest rate, closed again.
void leaveAtSlowestRate(const platform::VideoCaptureDeviceInfo& camera, const std::string& preset) {
  platform::V4L2Device device(camera);
  device.open();
  const auto formats = device.formats();
  auto index = device.activeFormatIndex();
  for (size_t i = 0; i < formats.size(); ++i)
    if (formats[i].width == medley::presetWidth(preset) && formats[i].height == medley::presetHeight(preset)) {
      index = i;
      break;
    }
  if (!index || *index >= formats.size()) return;
  platform::FrameDuration slowest;
  for (const auto& range : formats[*index].frameRateRanges)
    if (!slowest.isValid() || range.maxFrameDuration.seconds() > slowest.seconds()) slowest = range.maxFrameDuration;
  device.configure(*index, slowest);
  const auto left = device.activeMinFrameDuration();
  std::printf("mixer: camera left on format %zu %dx%d at %.1f fps\n", *index, formats[*index].width,
              formats[*index].height, left.rate());
  device.close();
}

// The slowest rate a format offers.
double slowestOffered(const platform::VideoCaptureFormat& format) {
  double slowest = 0;
  for (const auto& range : format.frameRateRanges)
    if (slowest == 0 || range.minFrameRate < slowest) slowest = range.minFrameRate;
  return slowest;
}

// The rate the camera streams at, as its driver says and as its pictures come.
struct CameraRate {
  double expected = 0;  // the rate offered nearest to the mixer's
  double slowest = 0;   // the format's slowest
  std::shared_ptr<platform::V4L2Device> device;
};

// One run of the mixer in `mode`: the camera's track and the mixed picture to
// their outputs until both have `wanted` pictures (or a minute has gone). In
// passthrough the driver must have taken exactly the expected rate; the
// pictures' own rate only has to tell it from the slowest one, since a loaded
// host slows the virtual machine's camera without any fault of ours.
bool runMode(const std::shared_ptr<medley::MediaMixer>& mixer, medley::VideoMixerSettings::Mode mode, size_t wanted,
             int cameraWidth, int cameraHeight, const CameraRate& rate) {
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
  bool rateOK = true;
  if (!offscreen) {
    const double taken = rate.device->activeMinFrameDuration().rate(), measured = track0->rate();
    // Midway between the slowest rate and the one expected; none where they are one.
    const double floor = rate.expected > rate.slowest + 0.01 ? (rate.slowest + rate.expected) / 2 : 0;
    const bool takenOK = std::abs(taken - rate.expected) <= 0.001 * rate.expected, measuredOK = measured > floor;
    rateOK = takenOK && measuredOK;
    std::printf("mixer passthrough: driver at %.3f fps, nearest offered %.3f fps: %s\n", taken, rate.expected,
                takenOK ? "as expected" : "NOT as expected");
    std::printf("mixer passthrough: measured %.2f fps, above %.2f fps: %s\n", measured, floor,
                measuredOK ? "yes" : "NO, the camera streams at its slowest rate");
  }
  return arrived && ok && rateOK && tasks == 0 && session && interrupted == privacy.value_or(false);
}

}  // namespace

bool checkMixer(const platform::VideoCaptureDeviceInfo& camera, size_t wanted, const std::string& preset,
                bool leftSlow) {
  using platform::blockingWait;
  std::printf("mixer: preset %s, camera %s\n", preset.c_str(), leftSlow ? "left at its slowest rate" : "as found");
  if (leftSlow) {
    try {
      leaveAtSlowestRate(camera, preset);
    } catch (const std::exception& e) {
      std::printf("mixer: the camera could not be left slow: %s\n", e.what());
      return false;
    }
  }
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
  const double mixerRate = blockingWait(mixer->frameRate());
  const CameraRate rate{nearestOffered(formats[*active], mixerRate), slowestOffered(formats[*active]), device};
  std::printf("mixer: camera on format %zu %dx%d, asked for %.2f fps (mixer %.0f fps)\n", *active, width, height,
              device->activeMinFrameDuration().rate(), mixerRate);
  const auto presetWidth = medley::presetWidth(preset), presetHeight = medley::presetHeight(preset);
  const bool presetOK = !presetWidth || (width == *presetWidth && height == *presetHeight);
  std::printf("mixer: preset %s %s\n", preset.c_str(), presetOK ? "reached the camera" : "did NOT reach the camera");
  bool ok = runMode(mixer, medley::VideoMixerSettings::Mode::passthrough, wanted, width, height, rate) &&
            controlsOK;
  ok = ok && presetOK;
  ok = runMode(mixer, medley::VideoMixerSettings::Mode::offscreen, wanted, width, height, rate) && ok;
  // Detaching releases the camera for what follows.
  blockingWait(mixer->attachVideo(nullptr, 0));
  return ok;
}

namespace {

// What the mixer told of its camera, read as the program reads it.
struct Failures {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> told;
};

// The mixer running the camera in passthrough to one output, with the device
// failures it tells read as the program reads them.
struct Passthrough {
  std::shared_ptr<medley::MediaMixer> mixer =
      std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::single, false);
  std::shared_ptr<platform::V4L2Device> device;
  std::shared_ptr<CountingOutput> output = std::make_shared<CountingOutput>(0);
  std::shared_ptr<Failures> failures = std::make_shared<Failures>();
  platform::TaskHandle<void> reader;

  explicit Passthrough(const platform::VideoCaptureDeviceInfo& camera)
      : device(std::make_shared<platform::V4L2Device>(camera)) {}

  // Attaches the camera at the preset `first` and starts; false, said under
  // `label`, when the camera cannot be attached.
  bool start(const std::string& first, const char* label) {
    using platform::blockingWait;
    try {
      blockingWait(mixer->setSessionPreset(first));
      blockingWait(mixer->attachVideo(device, 0, [](medley::VideoDeviceUnit&) {}));
      reader = platform::spawn(
          platform::Runtime::shared()->globalQueue(),
          [](platform::AsyncStream<medley::CaptureRuntimeError> stream,
             std::shared_ptr<Failures> failures) -> platform::Async<void> {
            while (auto error = co_await stream.next()) {
              std::lock_guard lock(failures->mutex);
              failures->told.push_back(error->description);
              failures->changed.notify_all();
            }
          },
          blockingWait(mixer->deviceFailures()), failures);
      blockingWait(mixer->addOutput(output));
      blockingWait(mixer->setVideoMixerSettings(
          medley::VideoMixerSettings(medley::VideoMixerSettings::Mode::passthrough, false, 0)));
      blockingWait(mixer->startRunning());
    } catch (const std::exception& e) {
      std::printf("%s: the camera cannot be attached: %s\n", label, e.what());
      return false;
    }
    return true;
  }

  size_t told() const {
    std::lock_guard lock(failures->mutex);
    return failures->told.size();
  }

  // Stops, and detaching releases the camera for what follows.
  void end() {
    using platform::blockingWait;
    blockingWait(mixer->stopRunning());
    reader.cancel();
    blockingWait(mixer->removeOutput(output));
    blockingWait(mixer->attachVideo(nullptr, 0));
  }
};

}  // namespace

bool checkMixerFormatChanges(const platform::VideoCaptureDeviceInfo& camera, const std::string& first,
                             const std::string& second, int changes) {
  using platform::blockingWait;
  Passthrough run(camera);
  if (!run.start(first, "mixer format changes")) return false;
  auto& mixer = run.mixer;
  auto& output = run.output;
  auto& failures = run.failures;
  const auto told = [&] { return run.told(); };
  // A picture may be in flight from before a change: three of the new size.
  constexpr size_t kAfterEach = 3;
  const auto sizeOf = [](const std::string& preset) {
    return std::pair<int, int>(medley::presetWidth(preset).value_or(0), medley::presetHeight(preset).value_or(0));
  };
  const auto [firstWidth, firstHeight] = sizeOf(first);
  bool ok = output->waitForSized(0, kAfterEach, firstWidth, firstHeight, 30);
  int held = 0;
  for (int i = 1; ok && i <= changes; ++i) {
    const std::string& preset = i % 2 ? second : first;
    const auto [width, height] = sizeOf(preset);
    const size_t before = output->pictures();
    blockingWait(mixer->setSessionPreset(preset));
    if (!output->waitForSized(before, kAfterEach, width, height, 10) || told() != 0) {
      std::printf("mixer format changes: change %d to %s: pictures STOPPED%s\n", i, preset.c_str(),
                  told() != 0 ? ", a device failure told" : "");
      ok = false;
    } else {
      ++held;
    }
  }
  std::printf("mixer format changes: %d of %d with pictures after each\n", held, changes);
  ok = ok && held == changes;

  // A change whose restart the driver refuses: told once, then restarted.
  bool failureOK = false;
  if (ok && failNextBufferRequest(camera.path)) {
    const std::string& preset = changes % 2 ? first : second;
    const auto [width, height] = sizeOf(preset);
    blockingWait(mixer->setSessionPreset(preset));
    const size_t after = output->pictures();
    {
      std::unique_lock lock(failures->mutex);
      failures->changed.wait_for(lock, std::chrono::seconds(10), [&] { return !failures->told.empty(); });
      for (const auto& f : failures->told) std::printf("mixer restart failure: told \"%s\"\n", f.c_str());
    }
    const bool back = output->waitForSized(after, kAfterEach, width, height, 15);
    const size_t count = told();
    failureOK = count == 1 && back;
    std::printf("mixer restart failure: %s, pictures %s\n", count == 1 ? "told once" : "NOT told once",
                back ? "back after the session's restart" : "NOT back");
  }
  run.end();
  return ok && failureOK;
}

bool checkMixerUnplugDuringFormatChanges(const platform::VideoCaptureDeviceInfo& camera, const std::string& first,
                                         const std::string& second) {
  using platform::blockingWait;
  std::optional<Passthrough> run(std::in_place, camera);
  if (!run->start(first, "mixer unplug")) return false;
  auto& mixer = run->mixer;
  auto& output = run->output;
  auto& failures = run->failures;
  std::optional<Unplugged> unplugged;
  bool ok = output->waitFor(3, 30);
  if (!ok) std::printf("mixer unplug: no pictures before the changes\n");
  if (ok) {
    std::atomic<bool> changing{true};
    std::atomic<int> changes{0};
    const auto told = [&] {
      std::lock_guard lock(failures->mutex);
      return !failures->told.empty();
    };
    std::thread changer([&] {
      for (int i = 1; changing && !told(); ++i) {
        blockingWait(mixer->setSessionPreset(i % 2 ? second : first));
        ++changes;
      }
    });
    while (changes < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    unplugged = unplug(camera.path);
    // A camera gone is not started again at the session's pace (1 s, then 2 s):
    // a restart would be told as one more failure within this time.
    {
      std::unique_lock lock(failures->mutex);
      failures->changed.wait_for(lock, std::chrono::seconds(10), [&] { return !failures->told.empty(); });
      failures->changed.wait_for(lock, std::chrono::seconds(4), [&] { return failures->told.size() > 1; });
    }
    changing = false;
    changer.join();
    std::lock_guard lock(failures->mutex);
    for (const auto& f : failures->told) std::printf("mixer unplug: told \"%s\"\n", f.c_str());
    ok = unplugged && failures->told.size() == 1;
    std::printf("mixer unplug: %d changes, %s\n", changes.load(),
                ok ? "told once and not started again" : "NOT told once");
  }
  run->end();
  run.reset();  // the camera closed before it is plugged back in
  const bool back = unplugged && plugBackIn(*unplugged);
  std::printf("mixer unplug: camera %s\n", back ? "plugged back in" : "NOT back");
  return ok && back;
}

}  // namespace vividcheck
