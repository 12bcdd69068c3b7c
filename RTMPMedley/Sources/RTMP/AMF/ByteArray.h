#pragma once
// The media library's byte array with what the RTMP layers add: AMF
// serializers, message payloads, the decoder configuration records and the
// handshake are built on it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "Medley/Sources/Util/ByteArray.h"

namespace rtmpmedley {

using Data = medley::Data;

class ByteArray : public medley::ByteArray {
 public:
  using medley::ByteArray::ByteArray;
  ByteArray() = default;

  // The bytes from the position to the end as little-endian 32-bit words;
  // empty unless their count is a multiple of four. The position is kept.
  virtual std::vector<uint32_t> toUInt32Words() const;

  // Calls body for each whole block of `size` bytes from the position on, then
  // once more for a shorter remainder. The position is kept. `size` must be positive.
  void forEachBlock(size_t size, const std::function<void(ByteArray&)>& body) const;
};

}  // namespace rtmpmedley
