#pragma once
// One capture format of a camera: a pixel encoding at one frame size, with the
// frame rates the device offers at that size. V4L2 lists encodings, sizes per
// encoding and intervals per size; each (encoding, size) pair is one format here.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A frame duration as V4L2 gives it: numerator / denominator seconds.
struct FrameDuration {
  uint32_t numerator = 0;
  uint32_t denominator = 0;

  bool isValid() const { return numerator > 0 && denominator > 0; }
  double seconds() const { return isValid() ? double(numerator) / double(denominator) : 0; }
  // Frames per second; 0 for an invalid duration.
  double rate() const { return isValid() ? double(denominator) / double(numerator) : 0; }
  friend bool operator==(const FrameDuration&, const FrameDuration&) = default;
};

// Rates from minFrameRate to maxFrameRate. A discrete interval is a range whose
// two ends are equal.
struct FrameRateRange {
  double minFrameRate = 0;
  double maxFrameRate = 0;
  FrameDuration minFrameDuration;  // at maxFrameRate
  FrameDuration maxFrameDuration;  // at minFrameRate

  static FrameRateRange fixed(FrameDuration d) { return {d.rate(), d.rate(), d, d}; }
  static FrameRateRange between(FrameDuration shortest, FrameDuration longest) {
    return {longest.rate(), shortest.rate(), shortest, longest};
  }
  friend bool operator==(const FrameRateRange&, const FrameRateRange&) = default;
};

struct VideoCaptureFormat {
  uint32_t pixelFormat = 0;  // V4L2 code (v4l2_fourcc, little-endian characters)
  int width = 0;
  int height = 0;
  bool isCompressed = false;  // the driver flags it so (MJPEG, H.264 ...)
  std::vector<FrameRateRange> frameRateRanges;

  friend bool operator==(const VideoCaptureFormat&, const VideoCaptureFormat&) = default;
};

// "YUYV", "MJPG": a V4L2 code's four characters.
std::string v4l2FourCCString(uint32_t code);
constexpr uint32_t v4l2FourCC(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | (uint32_t(uint8_t(s[1])) << 8) | (uint32_t(uint8_t(s[2])) << 16) |
         (uint32_t(uint8_t(s[3])) << 24);
}

}  // namespace platform
