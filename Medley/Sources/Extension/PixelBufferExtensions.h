#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "Platform/Media/PixelBuffer.h"

namespace medley {

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

}  // namespace medley
