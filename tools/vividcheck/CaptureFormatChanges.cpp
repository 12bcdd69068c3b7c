#include "tools/vividcheck/CaptureFormatChanges.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Capture/V4L2Device.h"
#include "Quarzadel/Capture/CameraCapture.h"
#include "tools/vividcheck/FaultInjection.h"

namespace vividcheck {

namespace {

using quarzadel::CameraCapture;

// A capture of the camera with what it delivered and reported.
struct Watched {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<int, int>> sizes;
  std::vector<std::string> failures;
  std::shared_ptr<CameraCapture> camera;
  std::shared_ptr<platform::SerialQueue> queue = platform::SerialQueue::make("vividcheck.changes");

  Watched(const platform::VideoCaptureDeviceInfo& info, const quarzadel::StreamConfig& target)
      : camera(CameraCapture::make(std::make_shared<platform::V4L2Device>(info), target)) {
    queue->async([this] {
      camera->start(
          queue,
          [this](platform::PixelBufferRef picture, double) {
            std::lock_guard lock(mutex);
            sizes.emplace_back(picture->width(), picture->height());
            changed.notify_all();
          },
          [this](const std::string& reason) {
            std::lock_guard lock(mutex);
            failures.push_back(reason);
            changed.notify_all();
          });
    });
  }
  ~Watched() {
    queue->sync([this] { camera->stop(); });
    CameraCapture::sessionQueue()->sync([] {});
  }
  template <class Pred>
  bool waitFor(double seconds, Pred pred) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds), pred);
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return sizes.size();
  }
  // Applies the setting and waits until the device work it queued is done.
  std::string apply(const quarzadel::StreamConfig& target) {
    camera->apply(target);
    std::string summary;
    CameraCapture::sessionQueue()->sync([&] { summary = camera->formatSummary(); });
    return summary;
  }
};

// "1280x720 @ 30 fps" -> 1280, 720.
std::pair<int, int> sizeOf(const std::string& summary) {
  int width = 0, height = 0;
  std::sscanf(summary.c_str(), "%dx%d", &width, &height);
  return {width, height};
}

}  // namespace

bool checkCaptureFormatChanges(const platform::VideoCaptureDeviceInfo& camera, const quarzadel::StreamConfig& first,
                               const quarzadel::StreamConfig& second, int changes) {
  Watched watched(camera, first);
  // A frame may be in flight from before a change: three after it include new ones.
  constexpr size_t kAfterEach = 3;
  bool ok = watched.waitFor(30, [&] { return watched.sizes.size() >= kAfterEach || !watched.failures.empty(); });
  int held = 0;
  std::string lastSummary;
  for (int i = 1; ok && i <= changes; ++i) {
    const std::string summary = watched.apply(i % 2 ? second : first);
    const size_t before = watched.count();
    const auto wanted = sizeOf(summary);
    const bool came = watched.waitFor(10, [&] {
      return (watched.sizes.size() >= before + kAfterEach && watched.sizes.back() == wanted) ||
             !watched.failures.empty();
    });
    std::lock_guard lock(watched.mutex);
    if (!came || !watched.failures.empty() || summary == lastSummary) {
      std::printf("capture format changes: change %d to %s: %s\n", i, summary.c_str(),
                  !watched.failures.empty() ? watched.failures.front().c_str()
                  : summary == lastSummary  ? "the format did NOT change"
                                            : "pictures STOPPED");
      ok = false;
    } else {
      ++held;
    }
    lastSummary = summary;
  }
  std::printf("capture format changes: %d of %d with pictures after each\n", held, changes);
  return ok && held == changes;
}

bool checkCaptureRestartFailure(const platform::VideoCaptureDeviceInfo& camera, const quarzadel::StreamConfig& first,
                                const quarzadel::StreamConfig& second) {
  Watched watched(camera, first);
  if (!watched.waitFor(30, [&] { return watched.sizes.size() >= 3 || !watched.failures.empty(); })) {
    std::printf("capture restart failure: no pictures before the change\n");
    return false;
  }
  if (!failNextBufferRequest(camera.path)) return false;
  watched.apply(second);
  watched.waitFor(10, [&] { return !watched.failures.empty(); });
  // Any second report would come within this time.
  watched.waitFor(2, [&] { return watched.failures.size() > 1; });
  std::lock_guard lock(watched.mutex);
  for (const auto& f : watched.failures) std::printf("capture restart failure: reported \"%s\"\n", f.c_str());
  const std::string stopped = camera.name + " stopped: ";
  const bool ok = watched.failures.size() == 1 && watched.failures[0].rfind(stopped, 0) == 0;
  std::printf("capture restart failure: %s\n", ok ? "told once as the camera's stop" : "NOT told once");
  return ok;
}

bool checkCaptureUnplugDuringFormatChanges(const platform::VideoCaptureDeviceInfo& camera,
                                           const quarzadel::StreamConfig& first, const quarzadel::StreamConfig& second) {
  std::optional<Unplugged> unplugged;
  bool ok = false;
  {
    Watched watched(camera, first);
    if (!watched.waitFor(30, [&] { return watched.sizes.size() >= 3 || !watched.failures.empty(); })) {
      std::printf("capture unplug: no pictures before the changes\n");
      return false;
    }
    std::atomic<bool> changing{true};
    std::atomic<int> changes{0};
    const auto told = [&] {
      std::lock_guard lock(watched.mutex);
      return !watched.failures.empty();
    };
    // Until the camera's end is told: changes of a camera gone are no more than refusals.
    std::thread changer([&] {
      for (int i = 1; changing && !told(); ++i) {
        watched.apply(i % 2 ? second : first);
        ++changes;
      }
    });
    // The camera goes among the changes; each keeps the device busy with its restart.
    while (changes < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    watched.camera->apply(changes % 2 ? first : second);
    unplugged = unplug(camera.path);
    watched.waitFor(10, [&] { return !watched.failures.empty(); });
    // Any second report would come within this time.
    watched.waitFor(2, [&] { return watched.failures.size() > 1; });
    changing = false;
    changer.join();
    std::lock_guard lock(watched.mutex);
    for (const auto& f : watched.failures) std::printf("capture unplug: reported \"%s\"\n", f.c_str());
    ok = unplugged && watched.failures == std::vector<std::string>{camera.name + " was disconnected."};
    std::printf("capture unplug: %d changes, %s\n", changes.load(),
                ok ? "told once as a disconnection" : "NOT told once as a disconnection");
  }
  const bool back = unplugged && plugBackIn(*unplugged);
  std::printf("capture unplug: camera %s\n", back ? "plugged back in" : "NOT back");
  return ok && back;
}

}  // namespace vividcheck
