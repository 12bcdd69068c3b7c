#include "Platform/Capture/V4L2FormatList.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

// Guards against a driver that never ends a list.
constexpr unsigned kMaxEntries = 256;

bool fits(int v, int lo, int hi, int step) { return v >= lo && v <= hi && (step <= 1 || (v - lo) % step == 0); }

std::vector<FrameRateRange> intervalsOf(const V4L2Ioctl& ioctl, uint32_t pixelFormat, int width, int height) {
  std::vector<FrameRateRange> ranges;
  for (unsigned i = 0; i < kMaxEntries; ++i) {
    v4l2_frmivalenum e{};
    e.index = i;
    e.pixel_format = pixelFormat;
    e.width = static_cast<uint32_t>(width);
    e.height = static_cast<uint32_t>(height);
    if (ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &e) != 0) break;
    if (e.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
      const FrameDuration d{e.discrete.numerator, e.discrete.denominator};
      if (d.isValid()) ranges.push_back(FrameRateRange::fixed(d));
    } else {
      const FrameDuration shortest{e.stepwise.min.numerator, e.stepwise.min.denominator};
      const FrameDuration longest{e.stepwise.max.numerator, e.stepwise.max.denominator};
      if (shortest.isValid() && longest.isValid()) ranges.push_back(FrameRateRange::between(shortest, longest));
      break;  // a stepwise answer is the whole list
    }
  }
  return ranges;
}

}  // namespace

std::string v4l2FourCCString(uint32_t code) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((code >> (8 * i)) & 0xff);
    s.push_back(c >= 0x20 && c < 0x7f ? c : '?');
  }
  // Big-endian variants carry the top bit.
  if (code & (1u << 31)) s.back() = static_cast<char>(s.back() & 0x7f);
  return s;
}

std::vector<FrameSize> sampleStepwiseSizes(int minWidth, int maxWidth, int stepWidth, int minHeight, int maxHeight,
                                           int stepHeight) {
  static constexpr FrameSize kCommon[] = {{3840, 2160}, {2560, 1440}, {1920, 1080}, {1280, 720},
                                          {1024, 576},  {960, 540},   {640, 480},   {640, 360}};
  std::vector<FrameSize> sizes;
  if (maxWidth <= 0 || maxHeight <= 0) return sizes;
  sizes.push_back({maxWidth, maxHeight});
  for (const FrameSize& s : kCommon) {
    if (!fits(s.width, minWidth, maxWidth, stepWidth) || !fits(s.height, minHeight, maxHeight, stepHeight)) continue;
    if (std::find(sizes.begin(), sizes.end(), s) == sizes.end()) sizes.push_back(s);
  }
  return sizes;
}

std::vector<VideoCaptureFormat> enumerateV4L2Formats(const V4L2Ioctl& ioctl,
                                                     const std::function<bool(uint32_t)>& accept) {
  std::vector<VideoCaptureFormat> formats;
  for (unsigned f = 0; f < kMaxEntries; ++f) {
    v4l2_fmtdesc desc{};
    desc.index = f;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctl(VIDIOC_ENUM_FMT, &desc) != 0) break;
    if (accept && !accept(desc.pixelformat)) continue;
    const bool compressed = (desc.flags & V4L2_FMT_FLAG_COMPRESSED) != 0;

    std::vector<FrameSize> sizes;
    for (unsigned s = 0; s < kMaxEntries; ++s) {
      v4l2_frmsizeenum e{};
      e.index = s;
      e.pixel_format = desc.pixelformat;
      if (ioctl(VIDIOC_ENUM_FRAMESIZES, &e) != 0) break;
      if (e.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        sizes.push_back({static_cast<int>(e.discrete.width), static_cast<int>(e.discrete.height)});
      } else {
        const auto& w = e.stepwise;
        sizes = sampleStepwiseSizes(int(w.min_width), int(w.max_width), int(w.step_width), int(w.min_height),
                                    int(w.max_height), int(w.step_height));
        break;
      }
    }
    for (const FrameSize& size : sizes) {
      VideoCaptureFormat format;
      format.pixelFormat = desc.pixelformat;
      format.width = size.width;
      format.height = size.height;
      format.isCompressed = compressed;
      format.frameRateRanges = intervalsOf(ioctl, desc.pixelformat, size.width, size.height);
      formats.push_back(std::move(format));
    }
  }
  return formats;
}

}  // namespace platform
