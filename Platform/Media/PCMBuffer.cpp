#include "Platform/Media/PCMBuffer.h"

#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

constexpr uint32_t kMaxFrames = 1u << 26;
constexpr size_t kMaxBytes = size_t{1} << 30;
constexpr size_t kAlignment = 64;

size_t roundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

PCMBuffer::PCMBuffer(const AudioFormat& format, uint32_t capacity) : AudioBuffer(format), capacity_(capacity) {}

std::shared_ptr<PCMBuffer> PCMBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  if (!format.isValid() || !format.isPCM() || format.commonFormat() == CommonFormat::other) return nullptr;
  if (frameCapacity > kMaxFrames) return nullptr;
  const uint32_t blocks = format.isInterleaved() ? 1 : format.channelCount();
  const size_t blockBytes =
      roundUp(std::max<size_t>(size_t{frameCapacity} * format.bytesPerFrame(), 1), kAlignment);
  if (blockBytes * blocks > kMaxBytes) return nullptr;
  void* memory = std::aligned_alloc(kAlignment, blockBytes * blocks);
  if (!memory) return nullptr;
  std::shared_ptr<PCMBuffer> buffer(new PCMBuffer(format, frameCapacity));
  buffer->storage_.reset(static_cast<uint8_t*>(memory), [](uint8_t* p) { std::free(p); });
  buffer->pointers_.resize(blocks);
  for (uint32_t i = 0; i < blocks; ++i) buffer->pointers_[i] = buffer->storage_.get() + blockBytes * i;
  return buffer;
}

bool PCMBuffer::setFrameLength(uint32_t frames) {
  if (frames > capacity_) return false;
  length_ = frames;
  return true;
}

float* const* PCMBuffer::floatChannelData() const {
  return format().commonFormat() == CommonFormat::float32 ? reinterpret_cast<float* const*>(pointers_.data())
                                                          : nullptr;
}

int16_t* const* PCMBuffer::int16ChannelData() const {
  return format().commonFormat() == CommonFormat::int16 ? reinterpret_cast<int16_t* const*>(pointers_.data())
                                                        : nullptr;
}

int32_t* const* PCMBuffer::int32ChannelData() const {
  return format().commonFormat() == CommonFormat::int32 ? reinterpret_cast<int32_t* const*>(pointers_.data())
                                                        : nullptr;
}

double* const* PCMBuffer::float64ChannelData() const {
  return format().commonFormat() == CommonFormat::float64 ? reinterpret_cast<double* const*>(pointers_.data())
                                                          : nullptr;
}

void PCMBuffer::zero() {
  const size_t bytes = size_t{length_} * format().bytesPerFrame();
  for (uint8_t* p : pointers_) std::memset(p, 0, bytes);
}

void PCMBuffer::zeroCapacity() {
  const size_t bytes = size_t{capacity_} * format().bytesPerFrame();
  for (uint8_t* p : pointers_) std::memset(p, 0, bytes);
}

}  // namespace platform
