#pragma once
// Watches one camera's privacy control (a shutter or a switch that blinds the
// sensor) through the driver's control events; the callback gets the new value
// on the watcher's own thread. A camera without the control cannot be watched.
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

class PrivacyControlWatcher {
 public:
  // nullptr when the node cannot be opened or has no privacy control.
  static std::unique_ptr<PrivacyControlWatcher> start(const std::string& path, std::function<void(bool on)> onChange);
  // Stops and waits for the thread.
  ~PrivacyControlWatcher();

  PrivacyControlWatcher(const PrivacyControlWatcher&) = delete;
  PrivacyControlWatcher& operator=(const PrivacyControlWatcher&) = delete;

 private:
  PrivacyControlWatcher(int fd, int wake, std::function<void(bool)> onChange);
  void run();

  const int fd_;
  const int wake_;
  const std::function<void(bool)> onChange_;
  std::thread thread_;
};

}  // namespace platform
