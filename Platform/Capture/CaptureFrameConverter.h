#pragma once
// Turns one captured V4L2 frame (packed 4:2:2, planar or bi-planar 4:2:0, or
// Motion JPEG) into the program's NV12 picture. Pictures come from a pool of the
// frame's size, so steady capture does not allocate; the program may hold them
// as long as the encoders do, and what the pool grew by during such a stall is
// freed once idle for kPoolIdleReleaseSeconds.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Platform/Media/PixelBufferPool.h"

namespace platform {

struct CapturedFrameLayout {
  uint32_t pixelFormat = 0;  // V4L2 code
  int width = 0;
  int height = 0;
  uint32_t bytesPerLine = 0;  // of the first plane; 0: packed without padding
  YCbCrMatrix matrix = YCbCrMatrix::itu_r_601_4;
  bool fullRange = false;  // JPEG data is full range whatever this says
};

class CaptureFrameConverter {
 public:
  // As long as the program's own pool keeps the buffers of a stall.
  static constexpr double kPoolIdleReleaseSeconds = 3;

  // `clock` times the pool's idle buffers; the host clock when none.
  explicit CaptureFrameConverter(std::shared_ptr<const Clock> clock = nullptr) : clock_(std::move(clock)) {}

  // Whether frames of this V4L2 code can be converted.
  static bool canConvert(uint32_t pixelFormat);

  // An NV12 picture of the frame, or nullptr for data too short or corrupt.
  PixelBufferRef convert(const CapturedFrameLayout& layout, const uint8_t* data, size_t size);

  // The pool of the last frame's size and format; none before the first.
  const std::shared_ptr<PixelBufferPool>& pool() const { return pool_; }

 private:
  std::shared_ptr<PixelBufferPool> poolFor(int width, int height, PixelFormat format);

  std::shared_ptr<const Clock> clock_;
  std::shared_ptr<PixelBufferPool> pool_;
};

}  // namespace platform
