#pragma once
// Lists a V4L2 capture device's formats: every pixel encoding, every frame size
// of it and every frame interval of each size. Works through an ioctl function,
// so recorded answers of real devices stand in for them in tests.
#include <functional>
#include <vector>

#include "Platform/Capture/VideoCaptureFormat.h"

namespace platform {

// ioctl(fd, request, arg): 0, or -errno.
using V4L2Ioctl = std::function<int(unsigned long request, void* arg)>;

// The formats in the device's order (encodings as listed, sizes as listed, with
// stepwise sizes sampled at common sizes within their bounds). Only encodings
// that `accept` keeps are listed.
std::vector<VideoCaptureFormat> enumerateV4L2Formats(const V4L2Ioctl& ioctl,
                                                     const std::function<bool(uint32_t)>& accept);

// Sizes taken from a stepwise or continuous range: the largest, then the common
// ones that fit its bounds and steps, largest first.
struct FrameSize {
  int width, height;
  friend bool operator==(const FrameSize&, const FrameSize&) = default;
};
std::vector<FrameSize> sampleStepwiseSizes(int minWidth, int maxWidth, int stepWidth, int minHeight, int maxHeight,
                                           int stepHeight);

}  // namespace platform
