#pragma once
// The synthetic screen share's pictures: an image file given under the user
// default "SyntheticScreenImage", or a generated pattern that changes colour and
// moves a white bar with each count, cycling every 12 counts. 32-bit BGRA.
#include <cstdint>
#include <filesystem>

#include "Platform/Media/PixelBuffer.h"

namespace quarzadel {

class SyntheticScreenImage {
 public:
  static constexpr const char* kDefaultsKey = "SyntheticScreenImage";
  static constexpr int kPatternWidth = 1920;
  static constexpr int kPatternHeight = 1200;

  // The image of a file (PNG, JPEG or any still format the decoders read),
  // premultiplied; none when it cannot be read or decoded.
  static platform::PixelBufferRef contentsOfFile(const std::filesystem::path& file);
  // The pattern for count n: the whole picture in hue (n mod 6)/6, saturation 0.5,
  // brightness 0.85; a white bar 1600 x 80 at x 160, 160 + (n mod 4) x 120 above
  // the bottom edge.
  static platform::PixelBufferRef pattern(int64_t n);
  // The pattern's background as B, G, R (for checks).
  static void patternColour(int64_t n, uint8_t bgr[3]);
};

}  // namespace quarzadel
