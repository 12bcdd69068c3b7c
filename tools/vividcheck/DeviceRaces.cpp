#include "tools/vividcheck/DeviceRaces.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Medley/Sources/Mixer/VideoDeviceUnit.h"
#include "Platform/Capture/V4L2Device.h"

namespace vividcheck {

namespace {

using Clock = std::chrono::steady_clock;

// What the threads saw refused, told or streamed.
struct Tally {
  std::mutex mutex;
  std::vector<std::string> refusals;
  std::vector<std::string> events;
  std::atomic<int> frames{0}, starts{0}, stops{0}, changes{0};

  void refused(const std::string& what) {
    std::lock_guard lock(mutex);
    refusals.push_back(what);
  }
  size_t refusedCount() {
    std::lock_guard lock(mutex);
    return refusals.size();
  }
  void print(const char* name) {
    std::lock_guard lock(mutex);
    std::printf("device races %s: %d changes, %d starts, %d stops, %d frames, %zu refused, %zu told\n", name,
                changes.load(), starts.load(), stops.load(), frames.load(), refusals.size(), events.size());
    for (size_t i = 0; i < refusals.size() && i < 5; ++i)
      std::printf("device races %s: refused %s\n", name, refusals[i].c_str());
    for (size_t i = 0; i < events.size() && i < 5; ++i)
      std::printf("device races %s: told %s\n", name, events[i].c_str());
  }
};

// The first formats of 640x480 and of 1280x720 (the first and the last format
// when it lacks one).
std::pair<size_t, size_t> twoFormats(const std::vector<platform::VideoCaptureFormat>& formats) {
  const auto find = [&](int width, int height, size_t otherwise) {
    for (size_t i = 0; i < formats.size(); ++i)
      if (formats[i].width == width && formats[i].height == height) return i;
    return otherwise;
  };
  return {find(640, 480, 0), find(1280, 720, formats.size() - 1)};
}

bool waitFor(const std::atomic<int>& value, int atLeast, double seconds) {
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (value.load() < atLeast) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The device itself: one thread changes formats, one stops and starts, one stops.
bool raceDevice(const platform::VideoCaptureDeviceInfo& camera, double seconds) {
  Tally tally;
  auto device = std::make_shared<platform::V4L2Device>(camera);
  device->open();
  const auto pair = twoFormats(device->formats());
  const size_t a = pair.first, b = pair.second;
  const auto onFrame = [&](platform::PixelBufferRef, platform::MediaTime) { ++tally.frames; };
  const auto onEvent = [&](const platform::VideoCaptureEvent& e) {
    std::lock_guard lock(tally.mutex);
    tally.events.push_back(e.description);
  };
  const auto start = [&] {
    try {
      device->startStreaming(onFrame, onEvent);
      ++tally.starts;
    } catch (const std::exception& e) {
      tally.refused(std::string("start: ") + e.what());
    }
  };
  start();
  std::atomic<bool> go{true};
  std::thread changer([&] {
    for (int i = 1; go; ++i) {
      try {
        device->configure(i % 2 ? b : a, std::nullopt);
        ++tally.changes;
      } catch (const std::exception& e) {
        tally.refused(std::string("change: ") + e.what());
      }
    }
  });
  std::thread restarter([&] {
    while (go) {
      device->stopStreaming();
      ++tally.stops;
      start();
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  std::thread stopper([&] {
    while (go) {
      device->stopStreaming();
      ++tally.stops;
      std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  go = false;
  changer.join();
  restarter.join();
  stopper.join();
  // After it all the camera streams again.
  device->stopStreaming();
  const int before = tally.frames.load();
  start();
  const bool streams = waitFor(tally.frames, before + 3, 10);
  device->close();
  tally.print("device");
  std::printf("device races device: %s after them\n", streams ? "streams" : "does NOT stream");
  std::lock_guard lock(tally.mutex);
  return streams && tally.refusals.empty() && tally.events.empty() && tally.changes > 0;
}

// The mixer's device unit: starts (as the session's restart timer makes them),
// stops and preset changes from three threads.
bool raceUnit(const platform::VideoCaptureDeviceInfo& camera, double seconds) {
  Tally tally;
  auto device = std::make_shared<platform::V4L2Device>(camera);
  std::shared_ptr<medley::VideoDeviceUnit> unit;
  try {
    unit = std::make_shared<medley::VideoDeviceUnit>(0, device);
  } catch (const std::exception& e) {
    std::printf("device races unit: the camera cannot be opened: %s\n", e.what());
    return false;
  }
  const auto formats = device->formats();
  const auto pair = twoFormats(formats);
  const size_t a = pair.first, b = pair.second;
  std::atomic<bool> go{true};
  std::thread changer([&] {
    for (int i = 1; go; ++i) {
      const auto& format = formats[i % 2 ? b : a];
      try {
        unit->changeActiveFormat(format.width, format.height, unit->frameRate());
        ++tally.changes;
      } catch (const std::exception& e) {
        tally.refused(std::string("change: ") + e.what());
      }
    }
  });
  std::thread starter([&] {
    while (go) {
      unit->startCapturing();
      ++tally.starts;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread stopper([&] {
    while (go) {
      unit->stopCapturing();
      ++tally.stops;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  go = false;
  changer.join();
  starter.join();
  stopper.join();
  unit->stopCapturing();
  unit->startCapturing();
  // A start the driver refused would leave the unit not capturing.
  const bool capturing = unit->isCapturing();
  unit->stopCapturing();
  unit.reset();
  tally.print("unit");
  std::printf("device races unit: %s after them\n", capturing ? "captures" : "does NOT capture");
  return capturing && tally.refusedCount() == 0;
}

}  // namespace

bool checkStopsDuringFormatChanges(const platform::VideoCaptureDeviceInfo& camera, double seconds) {
  bool ok = false;
  try {
    ok = raceDevice(camera, seconds);
  } catch (const std::exception& e) {
    std::printf("device races device: %s\n", e.what());
  }
  ok = raceUnit(camera, seconds) && ok;
  std::printf("device races: %s\n", ok ? "every start and change taken" : "NOT every start and change taken");
  return ok;
}

}  // namespace vividcheck
