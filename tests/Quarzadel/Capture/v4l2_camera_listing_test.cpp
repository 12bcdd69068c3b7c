#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "Eventually.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/DeviceCatalog.h"
#include "Quarzadel/Capture/V4L2CameraListing.h"
#include "Quarzadel/Log/LogTestSupport.h"

namespace quarzadel {
namespace {

// Without video hardware: a directory stands for /dev, watched through inotify.
TEST(V4L2CameraListingTest, ANodeComingIntoTheDeviceDirectoryRunsARefreshAndNonDevicesAreNotListed) {
  testing::ScopedTempDir dev;
  auto listing = std::make_shared<V4L2CameraListing>(dev.path().string(), (dev.path() / "sys").string(), false);
  auto runtime = platform::VirtualRuntime::make();
  std::atomic<int> changes{0};
  auto watch = listing->watchList([&] { ++changes; });
  ASSERT_TRUE(watch);
  std::ofstream(dev.path() / "video0") << "not a device";
  EXPECT_TRUE(qztest::eventually([&] { return changes > 0; }, std::chrono::seconds(2)));
  EXPECT_TRUE(listing->cameras().empty());
  EXPECT_FALSE(listing->watchSuspension("v4l2:nowhere", [] {})) << "an unknown camera has no control to watch";
  auto catalog = DeviceCatalog::make(listing, nullptr, runtime->mainQueue());
  EXPECT_TRUE(catalog->cameras.value().empty());
}

}  // namespace
}  // namespace quarzadel
