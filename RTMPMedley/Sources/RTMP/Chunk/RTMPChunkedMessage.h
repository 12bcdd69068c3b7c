#pragma once
// One message cut into chunks without copying its payload. Every chunk after
// the first repeats one header (type 3, and the extended timestamp when the
// message has one), so two small headers, the chunk size and the payload
// describe all of them: a transport writes the chunks as pieces straight from
// the payload (a gather write), or copies them once into one block.
//
// The pieces point into this value and into the payload: the value must stay
// in place, and the payload alive, until they are written. `owner` is how a
// caller hands the payload's lifetime to a transport that writes later.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"

namespace rtmpmedley {

class RTMPChunkedMessage {
 public:
  // Basic header (3), message header (11) and extended timestamp (4).
  static constexpr size_t kMaxFirstHeaderSize = 18;
  // Basic header (3) and extended timestamp (4).
  static constexpr size_t kMaxNextHeaderSize = 7;

  RTMPChunkedMessage() = default;

  bool empty() const { return payload_.empty(); }
  // Bytes on the wire.
  size_t size() const;
  size_t chunkCount() const;
  size_t payloadSize() const { return payload_.size(); }
  size_t chunkSize() const { return chunkSize_; }
  // The wire bytes from `offset` on, as header and payload pieces, at most
  // out.size() of them; answers how many were written (0 at the end).
  size_t pieces(size_t offset, std::span<std::span<const uint8_t>> out) const;
  // All wire bytes into `out`, which holds size() bytes.
  void copyTo(uint8_t* out) const;

  // Whatever keeps the payload alive; empty when the caller owns it only for
  // the duration of the call that hands the chunks over.
  std::shared_ptr<const void> owner;

 private:
  friend class RTMPChunkBuffer;

  std::span<const uint8_t> payload_;
  size_t chunkSize_ = 0;
  uint8_t firstSize_ = 0;
  uint8_t nextSize_ = 0;
  std::array<uint8_t, kMaxFirstHeaderSize> first_{};
  std::array<uint8_t, kMaxNextHeaderSize> next_{};
};

}  // namespace rtmpmedley
