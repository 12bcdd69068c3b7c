#include "Platform/Capture/PrivacyControlWatcher.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Capture/V4L2Device.h"

namespace platform {

std::unique_ptr<PrivacyControlWatcher> PrivacyControlWatcher::start(const std::string& path,
                                                                    std::function<void(bool)> onChange) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  v4l2_event_subscription sub{};
  sub.type = V4L2_EVENT_CTRL;
  sub.id = V4L2_CID_PRIVACY;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (!V4L2Device::readPrivacy(fd) || ::ioctl(fd, VIDIOC_SUBSCRIBE_EVENT, &sub) != 0 || wake < 0) {
    ::close(fd);
    if (wake >= 0) ::close(wake);
    return nullptr;
  }
  std::unique_ptr<PrivacyControlWatcher> watcher(new PrivacyControlWatcher(fd, wake, std::move(onChange)));
  watcher->thread_ = std::thread([w = watcher.get()] { w->run(); });
  return watcher;
}

PrivacyControlWatcher::PrivacyControlWatcher(int fd, int wake, std::function<void(bool)> onChange)
    : fd_(fd), wake_(wake), onChange_(std::move(onChange)) {}

PrivacyControlWatcher::~PrivacyControlWatcher() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
  ::close(wake_);
}

void PrivacyControlWatcher::run() {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLPRI, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    // A vanished device: the list watcher tells of that.
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      v4l2_event ev{};
      if (::ioctl(fd_, VIDIOC_DQEVENT, &ev) != 0 && errno == ENODEV) return;
    }
    v4l2_event ev{};
    while (::ioctl(fd_, VIDIOC_DQEVENT, &ev) == 0)
      if (ev.type == V4L2_EVENT_CTRL && ev.id == V4L2_CID_PRIVACY && (ev.u.ctrl.changes & V4L2_EVENT_CTRL_CH_VALUE) &&
          onChange_)
        onChange_(ev.u.ctrl.value != 0);
  }
}

}  // namespace platform
