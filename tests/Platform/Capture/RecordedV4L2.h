#pragma once
// Real cameras' format lists as `v4l2-ctl --list-formats-ext` printed them, and a
// stand-in for the driver's ioctls that answers from such a listing.
#include <linux/videodev2.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/Capture/CaptureFrameConverter.h"
#include "Platform/Capture/V4L2FormatList.h"

namespace platform::testing {

// A webcam on USB (1080p, Motion JPEG fast, YUYV slow at large sizes).
inline const char* const kUSBWebcam = R"(ioctl: VIDIOC_ENUM_FMT
	Type: Video Capture

	[0]: 'YUYV' (YUYV 4:2:2)
		Size: Discrete 640x480
			Interval: Discrete 0.033s (30.000 fps)
			Interval: Discrete 0.042s (24.000 fps)
			Interval: Discrete 0.050s (20.000 fps)
			Interval: Discrete 0.067s (15.000 fps)
		Size: Discrete 320x240
			Interval: Discrete 0.033s (30.000 fps)
		Size: Discrete 1280x720
			Interval: Discrete 0.100s (10.000 fps)
			Interval: Discrete 0.200s (5.000 fps)
		Size: Discrete 1920x1080
			Interval: Discrete 0.200s (5.000 fps)
	[1]: 'MJPG' (Motion-JPEG, compressed)
		Size: Discrete 640x480
			Interval: Discrete 0.033s (30.000 fps)
		Size: Discrete 1280x720
			Interval: Discrete 0.017s (60.000 fps)
			Interval: Discrete 0.033s (30.000 fps)
		Size: Discrete 1920x1080
			Interval: Discrete 0.033s (30.000 fps)
			Interval: Discrete 0.067s (15.000 fps)
)";

// A laptop's built-in camera: 720p at most, 4:3 and 16:9 sizes, NTSC rates.
inline const char* const kLaptopCamera = R"(ioctl: VIDIOC_ENUM_FMT
	Type: Video Capture

	[0]: 'MJPG' (Motion-JPEG, compressed)
		Size: Discrete 1280x720
			Interval: Discrete 0.033s (29.970 fps)
		Size: Discrete 960x540
			Interval: Discrete 0.033s (30.000 fps)
		Size: Discrete 640x480
			Interval: Discrete 0.033s (30.000 fps)
	[1]: 'YUYV' (YUYV 4:2:2)
		Size: Discrete 1280x720
			Interval: Discrete 0.100s (10.000 fps)
		Size: Discrete 640x480
			Interval: Discrete 0.033s (30.000 fps)
)";

// The kernel's virtual camera, on an input without discrete sizes (stepwise
// sizes and a continuous interval range), with an encoding the capture cannot convert.
inline const char* const kStepwiseCamera = R"(ioctl: VIDIOC_ENUM_FMT
	Type: Video Capture

	[0]: 'RGB3' (24-bit RGB 8-8-8)
		Size: Stepwise 16x16 - 4096x2160 with step 2/2
			Interval: Continuous 0.017s - 1.000s (1.000-60.000 fps)
	[1]: 'NV12' (Y/UV 4:2:0)
		Size: Stepwise 16x16 - 4096x2160 with step 2/2
			Interval: Continuous 0.017s - 1.000s (1.000-60.000 fps)
)";

// A duration in seconds from the fps v4l2-ctl printed (three decimals): 1000/(fps*1000).
inline v4l2_fract fractionOf(double fps) {
  if (std::fabs(fps - std::round(fps)) < 1e-6) return {1, static_cast<uint32_t>(std::lround(fps))};
  return {1000, static_cast<uint32_t>(std::lround(fps * 1000))};
}

class RecordedDevice {
 public:
  explicit RecordedDevice(const std::string& listing) {
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
      const auto text = line.substr(line.find_first_not_of(" \t") == std::string::npos ? 0 : line.find_first_not_of(" \t"));
      char code[5] = {};
      unsigned w0, h0, w1, h1, sw, sh;
      double fps, lo, hi;
      if (text.size() > 4 && text[0] == '[' && std::sscanf(text.c_str(), "[%*u]: '%4c'", code) == 1) {
        Format f;
        f.code = v4l2_fourcc(code[0], code[1], code[2], code[3]);
        f.compressed = text.find("compressed") != std::string::npos;
        formats.push_back(f);
      } else if (std::sscanf(text.c_str(), "Size: Discrete %ux%u", &w0, &h0) == 2) {
        formats.back().sizes.push_back({w0, h0, 0, 0, 0, 0, false, {}});
      } else if (std::sscanf(text.c_str(), "Size: Stepwise %ux%u - %ux%u with step %u/%u", &w0, &h0, &w1, &h1, &sw,
                             &sh) == 6) {
        formats.back().sizes.push_back({w0, h0, w1, h1, sw, sh, true, {}});
      } else if (std::sscanf(text.c_str(), "Interval: Discrete %*fs (%lf fps)", &fps) == 1) {
        formats.back().sizes.back().intervals.push_back({fractionOf(fps), {}, false});
      } else if (std::sscanf(text.c_str(), "Interval: Continuous %*fs - %*fs (%lf-%lf fps)", &lo, &hi) == 2) {
        formats.back().sizes.back().intervals.push_back({fractionOf(hi), fractionOf(lo), true});
      }
    }
  }

  // Answers the enumeration ioctls as the recorded driver did.
  int operator()(unsigned long request, void* arg) const {
    if (request == VIDIOC_ENUM_FMT) {
      auto* d = static_cast<v4l2_fmtdesc*>(arg);
      if (d->index >= formats.size()) return -EINVAL;
      d->pixelformat = formats[d->index].code;
      d->flags = formats[d->index].compressed ? V4L2_FMT_FLAG_COMPRESSED : 0;
      return 0;
    }
    if (request == VIDIOC_ENUM_FRAMESIZES) {
      auto* e = static_cast<v4l2_frmsizeenum*>(arg);
      const Format* f = find(e->pixel_format);
      if (!f || e->index >= f->sizes.size()) return -EINVAL;
      const Size& s = f->sizes[e->index];
      if (s.stepwise) {
        e->type = V4L2_FRMSIZE_TYPE_STEPWISE;
        e->stepwise = {s.width, s.maxWidth, s.stepWidth, s.height, s.maxHeight, s.stepHeight};
      } else {
        e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        e->discrete = {s.width, s.height};
      }
      return 0;
    }
    if (request == VIDIOC_ENUM_FRAMEINTERVALS) {
      auto* e = static_cast<v4l2_frmivalenum*>(arg);
      const Format* f = find(e->pixel_format);
      if (!f) return -EINVAL;
      for (const Size& s : f->sizes) {
        const bool match = s.stepwise ? (e->width >= s.width && e->width <= s.maxWidth && e->height >= s.height &&
                                         e->height <= s.maxHeight)
                                      : (e->width == s.width && e->height == s.height);
        if (!match) continue;
        if (e->index >= s.intervals.size()) return -EINVAL;
        const Interval& i = s.intervals[e->index];
        if (i.continuous) {
          e->type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
          e->stepwise = {i.shortest, i.longest, {1, 1}};
        } else {
          e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
          e->discrete = i.shortest;
        }
        return 0;
      }
      return -EINVAL;
    }
    return -ENOTTY;
  }

  V4L2Ioctl ioctl() const {
    return [this](unsigned long request, void* arg) { return (*this)(request, arg); };
  }

 private:
  struct Interval {
    v4l2_fract shortest, longest;
    bool continuous;
  };
  struct Size {
    uint32_t width, height, maxWidth, maxHeight, stepWidth, stepHeight;
    bool stepwise;
    std::vector<Interval> intervals;
  };
  struct Format {
    uint32_t code = 0;
    bool compressed = false;
    std::vector<Size> sizes;
  };
  const Format* find(uint32_t code) const {
    for (const auto& f : formats)
      if (f.code == code) return &f;
    return nullptr;
  }
  std::vector<Format> formats;
};

// The formats the capture can deliver from a recorded listing.
inline std::vector<VideoCaptureFormat> recordedFormats(const std::string& listing) {
  const RecordedDevice device(listing);
  return enumerateV4L2Formats(device.ioctl(), CaptureFrameConverter::canConvert);
}

}  // namespace platform::testing
