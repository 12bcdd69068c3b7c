#include "Platform/Media/CompressedAudioBuffer.h"

#include <cstring>

namespace platform {

CompressedAudioBuffer::CompressedAudioBuffer(const AudioFormat& format, uint32_t packetCapacity,
                                             uint32_t maximumPacketSize)
    : AudioBuffer(format), packetCapacity_(packetCapacity), maximumPacketSize_(maximumPacketSize) {}

std::shared_ptr<CompressedAudioBuffer> CompressedAudioBuffer::make(const AudioFormat& format, uint32_t packetCapacity,
                                                                   uint32_t maximumPacketSize) {
  if (!format.isValid() || format.isPCM() || packetCapacity == 0 || maximumPacketSize == 0) return nullptr;
  const uint64_t bytes = uint64_t{packetCapacity} * maximumPacketSize;
  if (bytes > (uint64_t{64} << 20)) return nullptr;
  std::shared_ptr<CompressedAudioBuffer> b(new CompressedAudioBuffer(format, packetCapacity, maximumPacketSize));
  b->data_.resize(bytes);
  if (format.bytesPerPacket() == 0) b->descriptions_.resize(packetCapacity);
  return b;
}

bool CompressedAudioBuffer::setByteLength(uint32_t bytes) {
  if (bytes > byteCapacity()) return false;
  byteLength_ = bytes;
  return true;
}

bool CompressedAudioBuffer::setPacketCount(uint32_t packets) {
  if (packets > packetCapacity_) return false;
  packetCount_ = packets;
  return true;
}

bool CompressedAudioBuffer::setSinglePacket(const uint8_t* bytes, uint32_t size, uint32_t variableFrames) {
  if (size > byteCapacity() || (size > 0 && !bytes)) return false;
  if (size > 0) std::memcpy(data_.data(), bytes, size);
  byteLength_ = size;
  packetCount_ = 1;
  if (!descriptions_.empty()) descriptions_[0] = AudioStreamPacketDescription{0, variableFrames, size};
  return true;
}

}  // namespace platform
