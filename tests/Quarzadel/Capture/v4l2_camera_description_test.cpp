#include <gtest/gtest.h>

#include "Platform/Capture/VideoCaptureDevices.h"
#include "Quarzadel/Capture/CameraDevice.h"
#include "Quarzadel/Capture/V4L2CameraDescription.h"

namespace quarzadel {
namespace {

CameraDevice::Kind kindOf(const platform::VideoCaptureDeviceInfo& info) {
  return CameraDevice::classify(cameraDescription(info));
}

TEST(V4L2CameraDescription, LinuxCamerasSortIntoTheirKinds) {
  auto laptop = platform::describeVideoCaptureDevice("/dev/video0", "Integrated Camera", "usb-0000:00:14.0-8",
                                                     "uvcvideo", "fixed");
  laptop.modelID = "04f2:b6dd";
  EXPECT_EQ(kindOf(laptop), CameraDevice::Kind::builtIn);
  auto webcam =
      platform::describeVideoCaptureDevice("/dev/video2", "OBS Virtual Camera", "usb-0000:00:14.0-2", "uvcvideo", "");
  // The transport decides before the words of the name.
  EXPECT_EQ(kindOf(webcam), CameraDevice::Kind::usb);
  EXPECT_EQ(kindOf(platform::describeVideoCaptureDevice("/dev/video4", "vivid", "platform:vivid-000", "vivid", "")),
            CameraDevice::Kind::virtual_);
  EXPECT_EQ(kindOf(platform::describeVideoCaptureDevice("/dev/video6", "Capture Card", "PCI:0000:03:00.0", "cx23885", "")),
            CameraDevice::Kind::other);

}

}  // namespace
}  // namespace quarzadel
