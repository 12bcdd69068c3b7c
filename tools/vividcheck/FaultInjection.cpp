#include "tools/vividcheck/FaultInjection.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vividcheck {

bool failNextBufferRequest(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::printf("fault injection: %s cannot be opened: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  v4l2_queryctrl query{};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  bool pressed = false, found = false;
  while (::ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
    const std::string name(reinterpret_cast<const char*>(query.name));
    if (query.type == V4L2_CTRL_TYPE_BUTTON && name.find("REQBUFS") != std::string::npos) {
      found = true;
      v4l2_control press{};
      press.id = query.id;
      press.value = 1;
      pressed = ::ioctl(fd, VIDIOC_S_CTRL, &press) == 0;
      std::printf("fault injection: \"%s\" %s\n", name.c_str(), pressed ? "pressed" : std::strerror(errno));
      break;
    }
    query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  if (!found) std::printf("fault injection: %s has no control to fail a buffer request\n", path.c_str());
  ::close(fd);
  return pressed;
}

std::optional<Unplugged> unplug(const std::string& node) {
  namespace fs = std::filesystem;
  const fs::path sys = fs::path("/sys/class/video4linux") / fs::path(node).filename() / "device";
  std::error_code ec;
  const fs::path device = fs::canonical(sys, ec);
  if (ec) return std::nullopt;
  const fs::path driver = fs::canonical(sys / "driver", ec);
  if (ec) return std::nullopt;
  std::ofstream unbind(driver / "unbind");
  unbind << device.filename().string() << std::flush;
  if (!unbind) return std::nullopt;
  return Unplugged{driver.string(), device.filename().string(), node};
}

bool plugBackIn(const Unplugged& camera) {
  {
    std::ofstream bind(std::filesystem::path(camera.driver) / "bind");
    bind << camera.device << std::flush;
    if (!bind) return false;
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    const int fd = ::open(camera.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace vividcheck
