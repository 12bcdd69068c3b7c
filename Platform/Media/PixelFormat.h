#pragma once
// The pixel layouts the pipelines exchange. Raw values are the platform's
// four-character pixel-format codes, so they can stand as a format
// description's media subtype.
#include <cstddef>
#include <optional>
#include <string>

#include "Platform/Media/FourCC.h"

namespace platform {

enum class PixelFormat : FourCC {
  nv12VideoRange = fourCC("420v"),  // 8-bit Y plane + interleaved CbCr plane, 4:2:0, video range
  nv12FullRange = fourCC("420f"),   // same layout, full range
  bgra = fourCC("BGRA"),            // 8-bit B, G, R, A in one plane
  p010 = fourCC("x420"),            // 10-bit in the high bits of 16-bit words, bi-planar 4:2:0, video range
};

constexpr FourCC fourCC(PixelFormat f) { return static_cast<FourCC>(f); }
std::optional<PixelFormat> pixelFormatFromFourCC(FourCC code);
std::string pixelFormatName(PixelFormat f);

struct PixelFormatLayout {
  int planeCount;
  // Per plane: bytes for one horizontal sample (a CbCr pair counts as one), and subsampling shifts.
  int bytesPerSample[2];
  int widthShift[2];
  int heightShift[2];
  bool isYCbCr;
  bool isFullRange;
};
PixelFormatLayout layoutOf(PixelFormat f);

// Whether a format description subtype names an uncompressed picture layout
// (any of the platform's numeric or four-character pixel-format codes) rather
// than a codec such as 'avc1'.
bool isPixelFormatCode(FourCC code);

}  // namespace platform
