#pragma once
// Encoded sound packets (AAC, Opus) in one contiguous block. Formats whose
// packets vary in size (bytesPerPacket 0) carry one description per packet.
#include <cstdint>
#include <memory>
#include <vector>

#include "Platform/Media/AudioBuffer.h"

namespace platform {

struct AudioStreamPacketDescription {
  int64_t startOffset = 0;
  uint32_t variableFramesInPacket = 0;
  uint32_t dataByteSize = 0;
  friend bool operator==(const AudioStreamPacketDescription&, const AudioStreamPacketDescription&) = default;
};

class CompressedAudioBuffer final : public AudioBuffer {
 public:
  // nullptr for an invalid format, a PCM format, zero capacity or size, or
  // more than 64 MiB in all.
  static std::shared_ptr<CompressedAudioBuffer> make(const AudioFormat& format, uint32_t packetCapacity,
                                                     uint32_t maximumPacketSize);

  uint32_t packetCapacity() const { return packetCapacity_; }
  uint32_t maximumPacketSize() const { return maximumPacketSize_; }
  uint32_t byteCapacity() const { return static_cast<uint32_t>(data_.size()); }

  uint8_t* data() { return data_.data(); }
  const uint8_t* data() const { return data_.data(); }

  uint32_t byteLength() const { return byteLength_; }
  // False (and no change) beyond byteCapacity.
  bool setByteLength(uint32_t bytes);
  uint32_t packetCount() const { return packetCount_; }
  // False (and no change) beyond packetCapacity.
  bool setPacketCount(uint32_t packets);

  bool hasPacketDescriptions() const { return !descriptions_.empty(); }
  // packetCapacity entries, or nullptr for constant-size packets.
  AudioStreamPacketDescription* packetDescriptions() {
    return descriptions_.empty() ? nullptr : descriptions_.data();
  }
  const AudioStreamPacketDescription* packetDescriptions() const {
    return descriptions_.empty() ? nullptr : descriptions_.data();
  }

  // Replaces the contents with one packet (copied); false when it does not fit.
  bool setSinglePacket(const uint8_t* bytes, uint32_t size, uint32_t variableFrames = 0);

 private:
  CompressedAudioBuffer(const AudioFormat& format, uint32_t packetCapacity, uint32_t maximumPacketSize);
  uint32_t packetCapacity_;
  uint32_t maximumPacketSize_;
  std::vector<uint8_t> data_;
  uint32_t byteLength_ = 0;
  uint32_t packetCount_ = 0;
  std::vector<AudioStreamPacketDescription> descriptions_;
};

using CompressedAudioBufferRef = std::shared_ptr<CompressedAudioBuffer>;

}  // namespace platform
