#include "Platform/Media/PixelFormat.h"

namespace platform {

std::optional<PixelFormat> pixelFormatFromFourCC(FourCC code) {
  switch (code) {
    case fourCC("420v"): return PixelFormat::nv12VideoRange;
    case fourCC("420f"): return PixelFormat::nv12FullRange;
    case fourCC("BGRA"): return PixelFormat::bgra;
    case fourCC("x420"): return PixelFormat::p010;
    default: return std::nullopt;
  }
}

std::string pixelFormatName(PixelFormat f) {
  switch (f) {
    case PixelFormat::nv12VideoRange: return "420v";
    case PixelFormat::nv12FullRange: return "420f";
    case PixelFormat::bgra: return "BGRA";
    case PixelFormat::p010: return "x420";
  }
  return fourCCString(fourCC(f));
}

PixelFormatLayout layoutOf(PixelFormat f) {
  switch (f) {
    case PixelFormat::nv12VideoRange: return {2, {1, 2}, {0, 1}, {0, 1}, true, false};
    case PixelFormat::nv12FullRange: return {2, {1, 2}, {0, 1}, {0, 1}, true, true};
    case PixelFormat::p010: return {2, {2, 4}, {0, 1}, {0, 1}, true, false};
    case PixelFormat::bgra: return {1, {4, 0}, {0, 0}, {0, 0}, false, true};
  }
  return {0, {0, 0}, {0, 0}, {0, 0}, false, false};
}

bool isPixelFormatCode(FourCC code) {
  switch (code) {
    // The numeric codes of the packed RGB layouts.
    case 1: case 2: case 8: case 16: case 24: case 32: case 33: case 34: case 36: case 40:
      return true;
    default:
      break;
  }
  static constexpr FourCC kCodes[] = {
      fourCC("420v"), fourCC("420f"), fourCC("x420"), fourCC("xf20"), fourCC("x422"), fourCC("x444"),
      fourCC("BGRA"), fourCC("RGBA"), fourCC("ABGR"), fourCC("y420"), fourCC("f420"), fourCC("2vuy"),
      fourCC("yuvs"), fourCC("yuvf"), fourCC("v210"), fourCC("v216"), fourCC("v308"), fourCC("v408"),
      fourCC("v410"), fourCC("y408"), fourCC("y416"), fourCC("r408"), fourCC("b16g"), fourCC("b48r"),
      fourCC("b64a"), fourCC("l10r"), fourCC("l64r"), fourCC("RGhA"), fourCC("RGfA"), fourCC("L008"),
      fourCC("L016"), fourCC("L00h"), fourCC("L00f"), fourCC("2C08"), fourCC("2C16"), fourCC("2C0h"),
      fourCC("2C0f"), fourCC("422v"), fourCC("422f"), fourCC("444v"), fourCC("444f"), fourCC("a2vy"),
      fourCC("v0a8"), fourCC("w30r"), fourCC("w40a"), fourCC("x20a"), fourCC("x422"), fourCC("xf22"),
      fourCC("xf44"), fourCC("&8v0"), fourCC("&8f0"), fourCC("&xv0"), fourCC("&xf0"), fourCC("&BGA"),
  };
  for (FourCC c : kCodes)
    if (c == code) return true;
  return false;
}

}  // namespace platform
