#pragma once
// Linear PCM samples of one format. Planar formats keep one 64-byte aligned
// block per channel; interleaved formats keep one block. frameLength (frames
// holding valid samples) never exceeds frameCapacity.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Media/AudioBuffer.h"

namespace platform {

class PCMBuffer final : public AudioBuffer {
 public:
  // nullptr for a format that is not valid native-endian linear PCM, or a
  // capacity beyond 2^26 frames.
  static std::shared_ptr<PCMBuffer> make(const AudioFormat& format, uint32_t frameCapacity);

  uint32_t frameCapacity() const { return capacity_; }
  uint32_t frameLength() const { return length_; }
  // False (and no change) when the length is beyond the capacity.
  bool setFrameLength(uint32_t frames);

  // One pointer per channel (planar) or one pointer (interleaved); nullptr
  // unless the buffer's common format matches.
  float* const* floatChannelData() const;
  int16_t* const* int16ChannelData() const;
  int32_t* const* int32ChannelData() const;
  double* const* float64ChannelData() const;
  // The same pointers untyped, for any sample type.
  uint8_t* const* rawChannelData() const { return pointers_.data(); }
  // Number of pointers: channels when planar, 1 when interleaved.
  uint32_t bufferCount() const { return static_cast<uint32_t>(pointers_.size()); }
  // Samples between one frame and the next within a channel's data.
  uint32_t stride() const { return format().isInterleaved() ? format().channelCount() : 1; }
  // Bytes per frame in one of the blocks (bytesPerSample x stride).
  uint32_t bytesPerFrameInBuffer() const { return format().bytesPerSample() * stride(); }

  // Zeroes the first frameLength frames.
  void zero();
  // Zeroes the whole capacity.
  void zeroCapacity();

 private:
  PCMBuffer(const AudioFormat& format, uint32_t capacity);
  uint32_t capacity_ = 0;
  uint32_t length_ = 0;
  std::shared_ptr<uint8_t> storage_;
  std::vector<uint8_t*> pointers_;
};

using PCMBufferRef = std::shared_ptr<PCMBuffer>;

}  // namespace platform
