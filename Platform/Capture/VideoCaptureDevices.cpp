#include "Platform/Capture/VideoCaptureDevices.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "Platform/Capture/V4L2Device.h"

namespace platform {

namespace {

std::string readLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// "/dev/video12" -> 12; -1 for other names.
int nodeNumber(const std::string& name) {
  if (!startsWith(name, "video") || name.size() == 5) return -1;
  for (size_t i = 5; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return -1;
  return std::stoi(name.substr(5));
}

}  // namespace

VideoCaptureDeviceInfo describeVideoCaptureDevice(const std::string& path, const std::string& card,
                                                  const std::string& busInfo, const std::string& driver,
                                                  const std::string& removable) {
  VideoCaptureDeviceInfo info;
  info.path = path;
  info.name = card.empty() ? path : card;
  info.busInfo = busInfo;
  info.driver = driver;
  info.uniqueID = "v4l2:" + (busInfo.empty() ? path : busInfo);
  info.isVirtual = driver == "vivid" || driver == "v4l2 loopback" || startsWith(busInfo, "platform:v4l2loopback");
  // A camera in a fixed USB port, or one on the board itself (a platform device
  // that no software driver makes), belongs to the machine.
  info.isBuiltIn = !info.isVirtual && ((startsWith(busInfo, "usb-") && removable == "fixed") ||
                                       (startsWith(busInfo, "platform:") && !busInfo.empty()));
  return info;
}

std::vector<VideoCaptureDeviceInfo> listVideoCaptureDevices(const std::string& devDir, const std::string& sysDir) {
  namespace fs = std::filesystem;
  std::map<int, std::string> nodes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(devDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (int n = nodeNumber(name); n >= 0) nodes[n] = name;
  }

  std::vector<VideoCaptureDeviceInfo> devices;
  std::map<std::string, int> seen;
  for (const auto& [number, name] : nodes) {
    const std::string path = (fs::path(devDir) / name).string();
    const fs::path sys = fs::path(sysDir) / name;
    std::string card, bus, driver;
    bool suspended = false;
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      v4l2_capability cap{};
      const bool ok = ::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
      const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
      if (ok && (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING)) {
        card = reinterpret_cast<const char*>(cap.card);
        bus = reinterpret_cast<const char*>(cap.bus_info);
        driver = reinterpret_cast<const char*>(cap.driver);
        suspended = V4L2Device::readPrivacy(fd).value_or(false);
      }
      ::close(fd);
      if (card.empty()) continue;
    } else if (errno == EACCES || errno == EPERM) {
      card = readLine(sys / "name");
    } else {
      continue;
    }
    VideoCaptureDeviceInfo info =
        describeVideoCaptureDevice(path, card, bus, driver, readLine(sys / "device" / ".." / "removable"));
    info.isSuspended = suspended;
    const fs::path usb = sys / "device" / "..";
    const std::string vendor = readLine(usb / "idVendor"), product = readLine(usb / "idProduct");
    info.modelID = !vendor.empty() && !product.empty() ? vendor + ":" + product : info.driver;
    info.manufacturer = readLine(usb / "manufacturer");
    // Two capture nodes on one bus location stay apart.
    if (int count = ++seen[info.uniqueID]; count > 1) info.uniqueID += "#" + std::to_string(count);
    devices.push_back(std::move(info));
  }
  return devices;
}

}  // namespace platform
