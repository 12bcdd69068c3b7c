#include "Medley/Sources/Extension/PixelBufferExtensions.h"

#include <array>

#include "Medley/Sources/Codec/HLGConversion.h"
#include "Medley/Sources/Screen/ScreenImage.h"
#include "Platform/Media/PixelConversion.h"

namespace medley {
namespace {

platform::PixelBufferRef narrowed(const platform::PixelBuffer& src) {
  auto out = platform::PixelBuffer::make(src.width(), src.height(), platform::PixelFormat::nv12VideoRange);
  if (!out) return nullptr;
  const auto sY = src.plane(0), sUV = src.plane(1), dY = out->plane(0), dUV = out->plane(1);
  platform::convertP010ToNV12(reinterpret_cast<const uint16_t*>(sY.data), static_cast<int>(sY.bytesPerRow),
                              reinterpret_cast<const uint16_t*>(sUV.data), static_cast<int>(sUV.bytesPerRow),
                              src.width(), src.height(), dY.data, static_cast<int>(dY.bytesPerRow), dUV.data,
                              static_cast<int>(dUV.bytesPerRow));
  return out;
}

// Full range (0...255) to video range (luma 16...235, chroma 16...240 about 128).
platform::PixelBufferRef toVideoRange(const platform::PixelBuffer& src) {
  auto out = platform::PixelBuffer::make(src.width(), src.height(), platform::PixelFormat::nv12VideoRange);
  if (!out) return nullptr;
  std::array<uint8_t, 256> luma{}, chroma{};
  for (int v = 0; v < 256; ++v) {
    luma[v] = static_cast<uint8_t>(16 + (v * 219 + 127) / 255);
    chroma[v] = static_cast<uint8_t>(128 + ((v - 128) * 224 + (v >= 128 ? 127 : -127)) / 255);
  }
  for (int p = 0; p < 2; ++p) {
    const auto s = src.plane(p), d = out->plane(p);
    const auto& table = p == 0 ? luma : chroma;
    const int bytes = s.width * (p == 0 ? 1 : 2);
    for (int row = 0; row < s.height; ++row) {
      const uint8_t* in = s.data + static_cast<size_t>(row) * s.bytesPerRow;
      uint8_t* o = d.data + static_cast<size_t>(row) * d.bytesPerRow;
      for (int i = 0; i < bytes; ++i) o[i] = table[in[i]];
    }
  }
  return out;
}

}  // namespace

platform::PixelBufferRef makeComposableBuffer(const platform::PixelBufferRef& pixelBuffer, DynamicRangeMode mode) {
  if (!pixelBuffer) throw PixelBufferError(PixelBufferError::Kind::unsupportedFormat, 0);
  platform::PixelBufferRef out;
  switch (pixelBuffer->format()) {
    case platform::PixelFormat::nv12VideoRange:
    case platform::PixelFormat::bgra:
      return pixelBuffer;
    case platform::PixelFormat::p010:
      // HLG frames are composed as they are in high dynamic range; elsewhere
      // they go back to BT.709 colours, which standard frames are composed in.
      if (isHLG(*pixelBuffer) && mode == DynamicRangeMode::hdr) return pixelBuffer;
      if (isHLG(*pixelBuffer)) {
        out = convertHLGToBT709(*pixelBuffer);
        if (!out) throw PixelBufferError(PixelBufferError::Kind::unsupportedFormat, pixelBuffer->formatType());
        return out;
      }
      out = narrowed(*pixelBuffer);
      break;
    case platform::PixelFormat::nv12FullRange: out = toVideoRange(*pixelBuffer); break;
  }
  if (!out) throw PixelBufferError(PixelBufferError::Kind::unsupportedFormat, pixelBuffer->formatType());
  out->setColorAttachments(pixelBuffer->colorAttachments());
  return out;
}

ScreenImage makeScreenImage(const platform::PixelBufferRef& pixelBuffer, DynamicRangeMode mode) {
  return ScreenImage(makeComposableBuffer(pixelBuffer, mode));
}

}  // namespace medley
