#include <gtest/gtest.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "Platform/Capture/PrivacyControlWatcher.h"
#include "Platform/Capture/VideoCaptureDevices.h"
#include "Platform/Capture/VideoDeviceWatcher.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  TempDir() : path(fs::temp_directory_path() / ("qz-v4l2-" + std::to_string(::getpid()) + "-" + std::to_string(counter++))) {
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
  static inline int counter = 0;
};

TEST(VideoCaptureDevices, IdentityKindAndNameOfADevice) {
  const auto usb = describeVideoCaptureDevice("/dev/video0", "HD Pro Webcam", "usb-0000:00:14.0-2", "uvcvideo", "removable");
  EXPECT_EQ(usb.uniqueID, "v4l2:usb-0000:00:14.0-2");
  EXPECT_EQ(usb.name, "HD Pro Webcam");
  EXPECT_FALSE(usb.isBuiltIn);
  EXPECT_FALSE(usb.isVirtual);

  // A laptop's camera sits on a fixed port.
  EXPECT_TRUE(describeVideoCaptureDevice("/dev/video2", "Integrated Camera", "usb-0000:00:14.0-8", "uvcvideo", "fixed")
                  .isBuiltIn);
  const auto vivid = describeVideoCaptureDevice("/dev/video0", "vivid", "platform:vivid-000", "vivid", "");
  EXPECT_TRUE(vivid.isVirtual);
  EXPECT_FALSE(vivid.isBuiltIn);
  const auto loop = describeVideoCaptureDevice("/dev/video9", "Dummy video device", "platform:v4l2loopback-000",
                                               "v4l2 loopback", "");
  EXPECT_TRUE(loop.isVirtual);
  // Without a bus location the node stands in, and a missing name too.
  const auto bare = describeVideoCaptureDevice("/dev/video5", "", "", "odd", "");
  EXPECT_EQ(bare.uniqueID, "v4l2:/dev/video5");
  EXPECT_EQ(bare.name, "/dev/video5");
}

TEST(VideoCaptureDevices, NodesThatAreNoCapturingDevicesAreLeftOut) {
  TempDir dev;
  std::ofstream(dev.path / "video0") << "not a device";
  std::ofstream(dev.path / "videoX") << "";
  std::ofstream(dev.path / "null") << "";
  EXPECT_TRUE(listVideoCaptureDevices(dev.path.string(), (dev.path / "sys").string()).empty());
  EXPECT_TRUE(listVideoCaptureDevices((dev.path / "missing").string()).empty());
}

class Changes {
 public:
  void note() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool waitFor(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(VideoDeviceWatcher, WithoutUdevVideoNodesComingAndGoingInTheDirectoryAreChanges) {
  TempDir dev;
  Changes changes;
  auto watcher = VideoDeviceWatcher::start([&] { changes.note(); }, dev.path.string(), false);
  ASSERT_TRUE(watcher);
  EXPECT_EQ(watcher->source(), VideoDeviceWatcher::Source::inotify);
  std::ofstream(dev.path / "ttyS9") << "";
  std::ofstream(dev.path / "video3") << "";
  ASSERT_TRUE(changes.waitFor(1));
  const int afterCreate = changes.count();
  fs::remove(dev.path / "video3");
  ASSERT_TRUE(changes.waitFor(afterCreate + 1));
  watcher.reset();  // stops and joins
}

std::vector<char> udevMessage(const std::vector<std::string>& properties) {
  std::string props;
  for (const auto& p : properties) props += p + '\0';
  std::vector<char> m(40 + props.size());
  std::memcpy(m.data(), "libudev", 8);
  const uint32_t magic = htonl(0xfeedcafe), header = 40, offset = 40, length = uint32_t(props.size());
  std::memcpy(m.data() + 8, &magic, 4);
  std::memcpy(m.data() + 12, &header, 4);
  std::memcpy(m.data() + 16, &offset, 4);
  std::memcpy(m.data() + 20, &length, 4);
  std::memcpy(m.data() + 40, props.data(), props.size());
  return m;
}

TEST(VideoDeviceWatcher, UdevMessagesCountOnlyForVideoDevices) {
  auto video = udevMessage({"ACTION=remove", "DEVNAME=/dev/video0", "SUBSYSTEM=video4linux"});
  EXPECT_TRUE(VideoDeviceWatcher::isVideoDeviceMessage(video.data(), video.size()));
  auto sound = udevMessage({"ACTION=add", "SUBSYSTEM=sound"});
  EXPECT_FALSE(VideoDeviceWatcher::isVideoDeviceMessage(sound.data(), sound.size()));
  // The kernel's own messages have no udev header; lengths past the end are refused.
  const char kernel[] = "add@/devices/virtual/video4linux/video0\0SUBSYSTEM=video4linux";
  EXPECT_FALSE(VideoDeviceWatcher::isVideoDeviceMessage(kernel, sizeof kernel));
  auto truncated = video;
  truncated.resize(50);
  EXPECT_FALSE(VideoDeviceWatcher::isVideoDeviceMessage(truncated.data(), truncated.size()));
}

}  // namespace
}  // namespace platform

namespace platform {
namespace {

TEST(PrivacyControlWatcher, NodesWithoutThePrivacyControlCannotBeWatched) {
  EXPECT_FALSE(PrivacyControlWatcher::start("/nonexistent/video0", [](bool) {}));
  EXPECT_FALSE(PrivacyControlWatcher::start("/dev/null", [](bool) {}));
}

}  // namespace
}  // namespace platform
