// Captures from the first V4L2 camera through CameraCapture, checks what arrives
// and, when asked, unplugs the camera (unbinds it from its driver, as a USB
// disconnect does) to see the disconnection reported, then unloads the driver.
// With --mixer it first runs the camera through a media mixer (MixerCheck.h).
// With --format-changes N the format changes N times while streaming, through
// the mixer (with --mixer) and through CameraCapture, and a change whose
// restart the driver refuses must be told once (CaptureFormatChanges.h); the
// camera is started, stopped and reconfigured from several threads at once
// (DeviceRaces.h), and unplugged (then plugged back in) while its format
// changes, through the mixer and through CameraCapture.
// Built statically it runs inside the test machine of tools/vivid-check.
//
//   vividcheck [--frames N] [--resolution 720p|1080p] [--mixer] [--preset WxH]... [--format-changes N]
//              [--unplug-and-unload MODULE]
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Capture/PrivacyControlWatcher.h"
#include "Platform/Capture/V4L2Device.h"
#include "Platform/Capture/VideoCaptureDevices.h"
#include "Platform/Capture/VideoDeviceWatcher.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Memory/MallocSettings.h"
#include "Quarzadel/Capture/CameraCapture.h"
#include "tools/vividcheck/CaptureFormatChanges.h"
#include "tools/vividcheck/DeviceRaces.h"
#include "tools/vividcheck/FaultInjection.h"
#include "tools/vividcheck/MixerCheck.h"

using namespace quarzadel;

namespace {

struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<double> times;
  std::vector<std::string> failures;
  bool allNV12 = true;
  int width = 0, height = 0;
};

template <class Pred>
bool waitFor(Seen& seen, double seconds, Pred pred) {
  std::unique_lock lock(seen.mutex);
  return seen.changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return pred(seen); });
}

void printFormats(const std::vector<platform::VideoCaptureFormat>& formats, const StreamConfig& target) {
  for (size_t i = 0; i < formats.size(); ++i) {
    const auto& f = formats[i];
    std::printf("format %zu: %s %dx%d%s", i, platform::v4l2FourCCString(f.pixelFormat).c_str(), f.width, f.height,
                f.isCompressed ? " compressed" : "");
    for (const auto& r : f.frameRateRanges)
      std::printf(" %u/%u", r.minFrameDuration.numerator, r.minFrameDuration.denominator);
    std::printf("  score %.2f\n", CameraFormatPicker::score(CameraFormatPicker::Candidate(i, f), target));
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  // Memory that publish attempts and encoders free is given back, not kept in the heap.
  platform::MallocSettings::fix();
  size_t wanted = 30;
  int formatChanges = 0;
  std::string unload;
  bool mixer = false;
  std::vector<std::string> presets;
  StreamConfig target;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--frames" && i + 1 < argc) wanted = std::stoul(argv[++i]);
    else if (a == "--mixer") mixer = true;
    else if (a == "--format-changes" && i + 1 < argc) formatChanges = std::stoi(argv[++i]);
    else if (a == "--preset" && i + 1 < argc) presets.push_back(argv[++i]);
    else if (a == "--unplug-and-unload" && i + 1 < argc) unload = argv[++i];
    else if (a == "--resolution" && i + 1 < argc)
      target.resolution = std::string(argv[++i]) == "720p" ? StreamConfig::Resolution::hd720
                                                           : StreamConfig::Resolution::hd1080;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);

  const auto devices = platform::listVideoCaptureDevices();
  for (const auto& d : devices)
    std::printf("device: %s \"%s\" bus=%s driver=%s builtIn=%d virtual=%d suspended=%d\n", d.uniqueID.c_str(),
                d.name.c_str(), d.busInfo.c_str(), d.driver.c_str(), d.isBuiltIn, d.isVirtual, d.isSuspended);
  if (devices.empty()) {
    std::printf("VIVIDCHECK FAIL: no capture device\n");
    return 1;
  }

  // Before anything else changes the camera's format, and done with it before
  // the capture below opens it. Each preset twice: with the camera as found,
  // then left at its slowest rate.
  if (presets.empty()) presets.push_back("1280x720");
  bool mixerOK = true;
  for (const auto& preset : presets)
    for (const bool leftSlow : {false, true})
      if (mixer) mixerOK = vividcheck::checkMixer(devices.front(), wanted, preset, leftSlow) && mixerOK;

  StreamConfig faster = target;
  faster.frameRate = 60;
  if (formatChanges > 0) {
    if (mixer)
      mixerOK = vividcheck::checkMixerFormatChanges(devices.front(), presets.front(),
                                                    presets.size() > 1 ? presets[1] : "640x480", formatChanges) &&
                mixerOK;
    mixerOK = vividcheck::checkCaptureFormatChanges(devices.front(), target, faster, formatChanges) && mixerOK;
    mixerOK = vividcheck::checkCaptureRestartFailure(devices.front(), target, faster) && mixerOK;
    mixerOK = vividcheck::checkStopsDuringFormatChanges(devices.front(), 3) && mixerOK;
    if (mixer)
      mixerOK = vividcheck::checkMixerUnplugDuringFormatChanges(devices.front(), presets.front(),
                                                                presets.size() > 1 ? presets[1] : "640x480") &&
                mixerOK;
    mixerOK = vividcheck::checkCaptureUnplugDuringFormatChanges(devices.front(), target, faster) && mixerOK;
  }

  // The scoring's choices, worked out here to compare with what the capture makes
  // active. The device is left on another format first, so the capture must change it.
  platform::VideoCaptureFormat expected, expectedFaster;
  {
    platform::V4L2Device probe(devices.front());
    probe.open();
    const auto formats = probe.formats();
    printFormats(formats, target);
    std::vector<CameraFormatPicker::Candidate> candidates;
    for (size_t i = 0; i < formats.size(); ++i) candidates.emplace_back(i, formats[i]);
    const auto best = CameraFormatPicker::pick(candidates, target);
    const auto bestFaster = CameraFormatPicker::pick(candidates, faster);
    if (!best || !bestFaster) {
      std::printf("VIVIDCHECK FAIL: no format\n");
      return 1;
    }
    expected = formats[best->index];
    expectedFaster = formats[bestFaster->index];
    std::printf("expected choice: format %zu %s %dx%d (at 60 fps: format %zu %s %dx%d)\n", best->index,
                platform::v4l2FourCCString(expected.pixelFormat).c_str(), expected.width, expected.height,
                bestFaster->index, platform::v4l2FourCCString(expectedFaster.pixelFormat).c_str(),
                expectedFaster.width, expectedFaster.height);
    const size_t other = formats.size() - 1 == best->index ? 0 : formats.size() - 1;
    probe.configure(other, std::nullopt);
    std::printf("device left on format %zu %dx%d\n", other, formats[other].width, formats[other].height);
  }

  std::printf("privacy control: %s\n",
              platform::PrivacyControlWatcher::start(devices.front().path, [](bool) {}) ? "watched" : "none");
  int hotplugChanges = 0;
  std::mutex hotplugMutex;
  auto watcher = platform::VideoDeviceWatcher::start([&] {
    std::lock_guard lock(hotplugMutex);
    ++hotplugChanges;
  });
  std::printf("hot-plug watcher: %s\n", !watcher ? "none"
                                        : watcher->source() == platform::VideoDeviceWatcher::Source::udev ? "udev"
                                                                                                           : "inotify");

  Seen seen;
  auto device = std::make_shared<platform::V4L2Device>(devices.front());
  auto camera = CameraCapture::make(device, target);
  auto queue = platform::SerialQueue::make("vividcheck.delivery");
  const auto started = std::chrono::steady_clock::now();
  queue->async([&] {
    camera->start(
        queue,
        [&](platform::PixelBufferRef picture, double t) {
          std::lock_guard lock(seen.mutex);
          seen.times.push_back(t);
          seen.allNV12 &= picture->format() == platform::PixelFormat::nv12VideoRange ||
                          picture->format() == platform::PixelFormat::nv12FullRange;
          seen.width = picture->width();
          seen.height = picture->height();
          seen.changed.notify_all();
        },
        [&](const std::string& reason) {
          std::lock_guard lock(seen.mutex);
          seen.failures.push_back(reason);
          seen.changed.notify_all();
        });
  });
  const bool gotFrames = waitFor(seen, 60, [&](Seen& s) { return s.times.size() >= wanted || !s.failures.empty(); });
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::string summary;
  CameraCapture::sessionQueue()->sync([&] { summary = camera->formatSummary(); });
  bool ok = gotFrames && mixerOK;
  {
    std::lock_guard lock(seen.mutex);
    const bool increasing = std::adjacent_find(seen.times.begin(), seen.times.end(),
                                               [](double a, double b) { return b <= a; }) == seen.times.end();
    const double span = seen.times.size() > 1 ? seen.times.back() - seen.times.front() : 0;
    std::printf("active format: %s\n", summary.c_str());
    std::printf("frames: %zu in %.2f s, %dx%d, NV12 %s, host times %s, %.1f fps\n", seen.times.size(), took,
                seen.width, seen.height, seen.allNV12 ? "yes" : "no", increasing ? "increasing" : "NOT increasing",
                span > 0 ? double(seen.times.size() - 1) / span : 0.0);
    ok = ok && seen.times.size() >= wanted && seen.allNV12 && increasing && seen.failures.empty();
    ok = ok && seen.width == expected.width && seen.height == expected.height;
  }

  // A faster program rate: the capture picks again while streaming.
  camera->apply(faster);
  const bool switched = waitFor(seen, 20, [&](Seen& s) {
    return s.width == expectedFaster.width && s.height == expectedFaster.height;
  });
  CameraCapture::sessionQueue()->sync([&] { summary = camera->formatSummary(); });
  {
    std::lock_guard lock(seen.mutex);
    std::printf("at 60 fps: %s, frames %dx%d\n", summary.c_str(), seen.width, seen.height);
    ok = ok && switched && seen.failures.empty();
  }

  if (!unload.empty()) {
    const bool unplugged = vividcheck::unplug(devices.front().path).has_value();
    std::printf("unplugging %s: %s\n", devices.front().path.c_str(), unplugged ? "done" : "failed");
    waitFor(seen, 10, [](Seen& s) { return !s.failures.empty(); });
    // Any second report would come within this time.
    waitFor(seen, 2, [](Seen& s) { return s.failures.size() > 1; });
    {
      std::lock_guard lock(seen.mutex);
      for (const auto& f : seen.failures) std::printf("failure: %s\n", f.c_str());
      ok = ok && unplugged && seen.failures.size() == 1 &&
           seen.failures[0] == devices.front().name + " was disconnected.";
    }
    std::lock_guard hl(hotplugMutex);
    std::printf("hot-plug changes after unplugging: %d\n", hotplugChanges);
    ok = ok && hotplugChanges > 0;
  }
  queue->sync([&] { camera->stop(); });
  CameraCapture::sessionQueue()->sync([] {});
  watcher.reset();
  if (!unload.empty()) {
    // Released by the capture, the driver can go.
    const long rc = syscall(SYS_delete_module, unload.c_str(), O_NONBLOCK);
    std::printf("unloading %s: %s\n", unload.c_str(), rc == 0 ? "done" : std::strerror(errno));
    ok = ok && rc == 0;
  }
  std::printf("VIVIDCHECK %s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
