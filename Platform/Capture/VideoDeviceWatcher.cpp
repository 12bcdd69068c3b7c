#include "Platform/Capture/VideoDeviceWatcher.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace platform {

namespace {

// udevd multicasts processed events to this netlink group (the kernel's raw ones go to 1).
constexpr uint32_t kUdevGroup = 2;
constexpr uint32_t kUdevMagic = 0xfeedcafe;

// The header udevd puts before its NUL-separated KEY=value properties.
struct UdevMonitorHeader {
  char prefix[8];  // "libudev"
  uint32_t magic;  // network order
  uint32_t headerSize;
  uint32_t propertiesOffset;
  uint32_t propertiesLength;
  uint32_t filterSubsystemHash;
  uint32_t filterDevtypeHash;
  uint32_t filterTagBloomHi;
  uint32_t filterTagBloomLo;
};

int openUdevMonitor() {
  if (::access("/run/udev/control", F_OK) != 0) return -1;  // udevd is not running
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = kUdevGroup;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int openInotify(const std::string& devDir) {
  const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return -1;
  if (::inotify_add_watch(fd, devDir.c_str(), IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool isVideoNodeName(std::string_view name) { return name.rfind("video", 0) == 0; }

}  // namespace

bool VideoDeviceWatcher::isVideoDeviceMessage(const char* data, size_t size) {
  if (size < sizeof(UdevMonitorHeader)) return false;
  UdevMonitorHeader h;
  std::memcpy(&h, data, sizeof h);
  if (std::strncmp(h.prefix, "libudev", 8) != 0 || ntohl(h.magic) != kUdevMagic) return false;
  if (h.propertiesOffset > size || h.propertiesLength > size - h.propertiesOffset) return false;
  std::string_view props(data + h.propertiesOffset, h.propertiesLength);
  while (!props.empty()) {
    const size_t end = props.find('\0');
    const std::string_view entry = props.substr(0, end);
    if (entry == "SUBSYSTEM=video4linux") return true;
    if (end == std::string_view::npos) break;
    props.remove_prefix(end + 1);
  }
  return false;
}

std::unique_ptr<VideoDeviceWatcher> VideoDeviceWatcher::start(std::function<void()> onChange,
                                                              const std::string& devDir, bool preferUdev) {
  Source source = Source::udev;
  int fd = preferUdev ? openUdevMonitor() : -1;
  if (fd < 0) {
    source = Source::inotify;
    fd = openInotify(devDir);
  }
  if (fd < 0) return nullptr;
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<VideoDeviceWatcher> watcher(new VideoDeviceWatcher(source, fd, wake, std::move(onChange)));
  watcher->thread_ = std::thread([w = watcher.get()] { w->run(); });
  return watcher;
}

VideoDeviceWatcher::VideoDeviceWatcher(Source source, int fd, int wake, std::function<void()> onChange)
    : source_(source), fd_(fd), wake_(wake), onChange_(std::move(onChange)) {}

VideoDeviceWatcher::~VideoDeviceWatcher() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
  ::close(wake_);
}

void VideoDeviceWatcher::run() {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    bool changed = false;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      if (source_ == Source::udev) {
        changed |= isVideoDeviceMessage(buffer, static_cast<size_t>(n));
      } else {
        for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
          const auto* ev = reinterpret_cast<const inotify_event*>(buffer + off);
          if (ev->len > 0 && isVideoNodeName(ev->name)) changed = true;
          off += ssize_t(sizeof(inotify_event)) + ev->len;
        }
      }
    }
    if (changed && onChange_) onChange_();
  }
}

}  // namespace platform
