#include "Platform/Media/PixelBuffer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

constexpr int kMaxDimension = 16384;

size_t roundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

bool validSize(int width, int height) {
  return width > 0 && height > 0 && width <= kMaxDimension && height <= kMaxDimension;
}

}  // namespace

bool PixelBuffer::isValidSize(int width, int height) { return validSize(width, height); }

namespace {
std::atomic<uint64_t> nextSerial{1};
}  // namespace

PixelBuffer::PixelBuffer(int width, int height, PixelFormat format)
    : width_(width),
      height_(height),
      format_(format),
      planeCount_(layoutOf(format).planeCount),
      serial_(nextSerial.fetch_add(1, std::memory_order_relaxed)) {}

PixelBuffer::~PixelBuffer() { std::free(storage_); }

bool PixelBuffer::allocate() {
  const PixelFormatLayout layout = layoutOf(format_);
  size_t total = 0;
  size_t offsets[2] = {0, 0};
  for (int i = 0; i < planeCount_; ++i) {
    Plane& p = planes_[i];
    p.width = (width_ + (1 << layout.widthShift[i]) - 1) >> layout.widthShift[i];
    p.height = (height_ + (1 << layout.heightShift[i]) - 1) >> layout.heightShift[i];
    p.bytesPerRow = roundUp(static_cast<size_t>(p.width) * layout.bytesPerSample[i], kAlignment);
    offsets[i] = total;
    total += roundUp(p.byteSize(), kAlignment);
  }
  storage_ = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, total));
  if (!storage_) return false;
  for (int i = 0; i < planeCount_; ++i) planes_[i].data = storage_ + offsets[i];
  return true;
}

std::shared_ptr<PixelBuffer> PixelBuffer::make(int width, int height, PixelFormat format) {
  if (!validSize(width, height) || layoutOf(format).planeCount == 0) return nullptr;
  std::shared_ptr<PixelBuffer> buffer(new PixelBuffer(width, height, format));
  if (!buffer->allocate()) return nullptr;
  return buffer;
}

std::shared_ptr<PixelBuffer> PixelBuffer::wrap(int width, int height, PixelFormat format,
                                               const std::array<Plane, 2>& planes, std::shared_ptr<void> owner) {
  if (!validSize(width, height) || layoutOf(format).planeCount == 0) return nullptr;
  std::shared_ptr<PixelBuffer> buffer(new PixelBuffer(width, height, format));
  const PixelFormatLayout layout = layoutOf(format);
  for (int i = 0; i < buffer->planeCount_; ++i) {
    Plane p = planes[i];
    const int w = (width + (1 << layout.widthShift[i]) - 1) >> layout.widthShift[i];
    const int h = (height + (1 << layout.heightShift[i]) - 1) >> layout.heightShift[i];
    // A plane too small for the picture would be read out of bounds.
    if (!p.data || p.bytesPerRow < static_cast<size_t>(w) * layout.bytesPerSample[i]) return nullptr;
    p.width = w;
    p.height = h;
    buffer->planes_[i] = p;
  }
  buffer->owner_ = std::move(owner);
  return buffer;
}

PixelBuffer::Plane PixelBuffer::plane(int index) const {
  if (index < 0 || index >= planeCount_) return {};
  return planes_[index];
}

size_t PixelBuffer::dataSize() const {
  size_t n = 0;
  for (int i = 0; i < planeCount_; ++i) n += planes_[i].byteSize();
  return n;
}

void PixelBuffer::fillBlack() {
  auto fill16 = [](const Plane& p, int samplesPerRow, uint16_t value) {
    for (int y = 0; y < p.height; ++y) {
      auto* row = reinterpret_cast<uint16_t*>(p.data + p.bytesPerRow * y);
      for (int x = 0; x < samplesPerRow; ++x) row[x] = value;
    }
  };
  switch (format_) {
    case PixelFormat::nv12VideoRange:
    case PixelFormat::nv12FullRange:
      std::memset(planes_[0].data, format_ == PixelFormat::nv12VideoRange ? 16 : 0, planes_[0].byteSize());
      std::memset(planes_[1].data, 128, planes_[1].byteSize());
      break;
    case PixelFormat::p010:
      fill16(planes_[0], planes_[0].width, 64 << 6);
      fill16(planes_[1], planes_[1].width * 2, 512 << 6);
      break;
    case PixelFormat::bgra:
      for (int y = 0; y < height_; ++y) {
        uint8_t* row = planes_[0].data + planes_[0].bytesPerRow * y;
        for (int x = 0; x < width_; ++x) {
          row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = 0;
          row[4 * x + 3] = 255;
        }
      }
      break;
  }
}

}  // namespace platform
