#pragma once
// A picture in memory: one or two planes, each starting on a 64-byte boundary
// with rows padded to 64 bytes.
//
// Ownership instead of locking: a buffer being filled belongs to its writer
// (the pool hands it out to one caller). Once handed on (a callback, a queue,
// a sample buffer) it is read-only, and any number of threads read it without
// locks. Pass it by shared_ptr; pixel data is never copied on hand-off.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Platform/Media/ColorAttachments.h"
#include "Platform/Media/PixelFormat.h"

namespace platform {

class PixelBuffer {
 public:
  static constexpr size_t kAlignment = 64;

  struct Plane {
    uint8_t* data = nullptr;
    size_t bytesPerRow = 0;
    int width = 0;   // samples per row (CbCr pairs for the chroma plane)
    int height = 0;  // rows
    size_t byteSize() const { return bytesPerRow * static_cast<size_t>(height); }
  };

  // A new buffer with uninitialised contents; nullptr for a size that is not
  // positive or too large (over 16384 in either direction).
  static std::shared_ptr<PixelBuffer> make(int width, int height, PixelFormat format);

  // Sizes make() accepts.
  static bool isValidSize(int width, int height);

  // A buffer over memory owned by someone else (a decoder frame, a mapped
  // file); `owner` is kept alive as long as the buffer. Planes need not be aligned.
  static std::shared_ptr<PixelBuffer> wrap(int width, int height, PixelFormat format,
                                           const std::array<Plane, 2>& planes, std::shared_ptr<void> owner);

  int width() const { return width_; }
  int height() const { return height_; }
  PixelFormat format() const { return format_; }
  FourCC formatType() const { return fourCC(format_); }
  // 1 for BGRA, 2 for the bi-planar formats.
  int planeCount() const { return planeCount_; }
  bool isPlanar() const { return planeCount_ > 1; }

  // The plane's layout; an empty plane for an index out of range.
  Plane plane(int index) const;
  uint8_t* baseAddressOfPlane(int index) const { return plane(index).data; }
  size_t bytesPerRowOfPlane(int index) const { return plane(index).bytesPerRow; }
  int widthOfPlane(int index) const { return plane(index).width; }
  int heightOfPlane(int index) const { return plane(index).height; }
  // Sum of the planes' byte sizes.
  size_t dataSize() const;

  const ColorAttachments& colorAttachments() const { return color_; }
  // Writer side only, before the buffer is handed on.
  void setColorAttachments(const ColorAttachments& c) { color_ = c; }

  // Sets every sample to black (Y at its range's floor, CbCr neutral; BGRA opaque black).
  void fillBlack();

  // Unique to this buffer for the life of the process: a freed buffer's
  // address may be reused by a new one, its serial never is.
  uint64_t serial() const { return serial_; }

  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;
  ~PixelBuffer();

 private:
  friend class PixelBufferPool;
  PixelBuffer(int width, int height, PixelFormat format);
  bool allocate();

  int width_ = 0;
  int height_ = 0;
  PixelFormat format_;
  int planeCount_ = 0;
  std::array<Plane, 2> planes_{};
  ColorAttachments color_;
  uint64_t serial_ = 0;
  uint8_t* storage_ = nullptr;     // our own aligned allocation, or
  std::shared_ptr<void> owner_;    // someone else's memory kept alive
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

}  // namespace platform
