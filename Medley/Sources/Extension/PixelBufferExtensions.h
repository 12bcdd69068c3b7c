#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Platform/Media/PixelBuffer.h"

namespace medley {

class ScreenImage;

// Why a picture could not be read.
struct PixelBufferError : std::runtime_error {
    enum class Kind { failedToLock, failedToUnlock, unsupportedFormat };
    PixelBufferError(Kind kind, std::uint32_t code)
        : std::runtime_error(std::string(kind == Kind::failedToLock     ? "failedToLock("
                                         : kind == Kind::failedToUnlock ? "failedToUnlock("
                                                                        : "unsupportedFormat(") +
                             std::to_string(code) + ")"),
          kind(kind),
          code(code) {}
    Kind kind;
    std::uint32_t code;  // a status, or a pixel format code for unsupportedFormat
};

struct PixelBufferSize {
    double width = 0;
    double height = 0;
    bool operator==(const PixelBufferSize&) const = default;
};

// Read-only accessors; plane-less forms describe the first plane.
inline PixelBufferSize size(const platform::PixelBuffer& b) { return {double(b.width()), double(b.height())}; }
inline std::size_t dataSize(const platform::PixelBuffer& b) { return b.dataSize(); }
inline std::uint8_t* baseAddress(const platform::PixelBuffer& b) { return b.baseAddressOfPlane(0); }
inline int planeCount(const platform::PixelBuffer& b) { return b.planeCount(); }
inline std::size_t bytesPerRow(const platform::PixelBuffer& b) { return b.bytesPerRowOfPlane(0); }
inline int width(const platform::PixelBuffer& b) { return b.width(); }
inline int height(const platform::PixelBuffer& b) { return b.height(); }
inline platform::FourCC formatType(const platform::PixelBuffer& b) { return b.formatType(); }
// nullptr or 0 for a plane index out of range.
inline std::uint8_t* baseAddressOfPlane(const platform::PixelBuffer& b, int plane) { return b.baseAddressOfPlane(plane); }
inline int heightOfPlane(const platform::PixelBuffer& b, int plane) { return b.heightOfPlane(plane); }
inline std::size_t bytesPerRowOfPlane(const platform::PixelBuffer& b, int plane) { return b.bytesPerRowOfPlane(plane); }

// The compositor's picture of a buffer, in the one layout every picture path
// composes (420v or BGRA): 10-bit and full-range 4:2:0 are converted into a
// new buffer (HLG-tagged ones with their colours converted to BT.709), so an
// HDR frame looks like its SDR counterpart; other buffers
// are used in place. For a compositor working in high dynamic range, HLG
// pictures are used in place (x420), keeping their levels above standard white.
// Buffers here need no locking, so the lock errors never
// occur; a layout the compositor cannot read throws unsupportedFormat.
ScreenImage makeScreenImage(const platform::PixelBufferRef& pixelBuffer, DynamicRangeMode mode = DynamicRangeMode::sdr);
// The same conversion, as a buffer (the given one when it needs none).
platform::PixelBufferRef makeComposableBuffer(const platform::PixelBufferRef& pixelBuffer,
                                              DynamicRangeMode mode = DynamicRangeMode::sdr);

}  // namespace medley
