#pragma once
// Tells when video devices come or go: through udev's monitor socket where udevd
// runs (nodes are ready, with their permissions, when it speaks), otherwise
// through inotify on /dev. The callback runs on the watcher's own thread; it is
// a hint to list the devices again, not a description of the change.
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

class VideoDeviceWatcher {
 public:
  enum class Source { udev, inotify };

  // Starts watching; nullptr when neither source can be opened. `devDir` and
  // `preferUdev` are for tests.
  static std::unique_ptr<VideoDeviceWatcher> start(std::function<void()> onChange, const std::string& devDir = "/dev",
                                                   bool preferUdev = true);
  // Stops and waits for the thread.
  ~VideoDeviceWatcher();

  Source source() const { return source_; }

  VideoDeviceWatcher(const VideoDeviceWatcher&) = delete;
  VideoDeviceWatcher& operator=(const VideoDeviceWatcher&) = delete;

  // Whether one udev monitor message announces a change of a video4linux device.
  static bool isVideoDeviceMessage(const char* data, size_t size);

 private:
  VideoDeviceWatcher(Source source, int fd, int wake, std::function<void()> onChange);
  void run();

  const Source source_;
  const int fd_;
  const int wake_;
  const std::function<void()> onChange_;
  std::thread thread_;
};

}  // namespace platform
