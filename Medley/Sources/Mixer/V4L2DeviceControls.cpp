#include "Medley/Sources/Mixer/V4L2DeviceControls.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Capture/PrivacyControlWatcher.h"
#include "Platform/Capture/V4L2Device.h"

namespace medley {

namespace {

uint32_t controlID(VideoDeviceControls::Control control) {
  switch (control) {
    case VideoDeviceControls::Control::horizontalFlip:
      return V4L2_CID_HFLIP;
    case VideoDeviceControls::Control::rotation:
      return V4L2_CID_ROTATE;
    case VideoDeviceControls::Control::torch:
      return V4L2_CID_FLASH_LED_MODE;
  }
  return 0;
}

class PrivacyWatcherWatch final : public VideoDeviceControls::PrivacyWatch {
 public:
  explicit PrivacyWatcherWatch(std::unique_ptr<platform::PrivacyControlWatcher> watcher)
      : watcher_(std::move(watcher)) {}

 private:
  std::unique_ptr<platform::PrivacyControlWatcher> watcher_;
};

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ::ioctl(fd, request, arg);
  } while (r == -1 && errno == EINTR);
  return r;
}

}  // namespace

V4L2DeviceControls::V4L2DeviceControls(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

V4L2DeviceControls::~V4L2DeviceControls() {
  if (fd_ >= 0) ::close(fd_);
}

bool V4L2DeviceControls::isSupported(Control control, int32_t value) const {
  if (fd_ < 0) return false;
  v4l2_queryctrl query{};
  query.id = controlID(control);
  if (xioctl(fd_, VIDIOC_QUERYCTRL, &query) != 0) return false;
  if (query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY)) return false;
  if (value < query.minimum || value > query.maximum) return false;
  if (query.type == V4L2_CTRL_TYPE_MENU) {
    v4l2_querymenu menu{};
    menu.id = query.id;
    menu.index = static_cast<uint32_t>(value);
    return xioctl(fd_, VIDIOC_QUERYMENU, &menu) == 0;
  }
  return query.step <= 1 || (value - query.minimum) % query.step == 0;
}

bool V4L2DeviceControls::set(Control control, int32_t value) {
  if (!isSupported(control, value)) return false;
  v4l2_control c{};
  c.id = controlID(control);
  c.value = value;
  return xioctl(fd_, VIDIOC_S_CTRL, &c) == 0;
}

std::optional<int32_t> V4L2DeviceControls::get(Control control) const {
  if (fd_ < 0) return std::nullopt;
  v4l2_control c{};
  c.id = controlID(control);
  if (xioctl(fd_, VIDIOC_G_CTRL, &c) != 0) return std::nullopt;
  return c.value;
}

std::optional<bool> V4L2DeviceControls::privacy() const {
  if (fd_ < 0) return std::nullopt;
  return platform::V4L2Device::readPrivacy(fd_);
}

std::unique_ptr<VideoDeviceControls::PrivacyWatch> V4L2DeviceControls::watchPrivacy(std::function<void(bool)> onChange) {
  auto watcher = platform::PrivacyControlWatcher::start(path_, std::move(onChange));
  if (!watcher) return nullptr;
  return std::make_unique<PrivacyWatcherWatch>(std::move(watcher));
}

}  // namespace medley
