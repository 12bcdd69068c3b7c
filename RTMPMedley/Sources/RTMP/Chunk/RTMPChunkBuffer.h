#pragma once
// The chunk writer of one direction of a connection.
//
// chunk() describes a message's chunks without copying its payload (see
// RTMPChunkedMessage): the headers are written into the result, the payload
// is referenced where it lies. putMessage() lays the same bytes end to end in
// one reused buffer, for callers that want one contiguous block. Neither
// allocates once the buffer has grown.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "Medley/Sources/Extension/Data.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkedMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPChunkBuffer {
 public:
  static constexpr uint32_t kDefaultChunkSize = 128;
  // Basic header (3), message header (11) and extended timestamp (4).
  static constexpr size_t kMaxHeaderSize = RTMPChunkedMessage::kMaxFirstHeaderSize;

  RTMPChunkBuffer() = default;

  uint32_t chunkSize() const { return chunkSize_; }
  // Values below 1 are taken as 1. Storage follows the data, not this size.
  void setChunkSize(uint32_t size) { chunkSize_ = size == 0 ? 1 : size; }

  // The message's chunks, the first with `type` and its header, the others
  // type 3, referencing the payload of `message` (which must outlive them).
  // Empty for an empty payload, a payload of 2^24 bytes or more (logged) or a
  // chunk stream id outside 2...65599.
  RTMPChunkedMessage chunk(RTMPChunkType type, uint32_t chunkStreamId, const RTMPMessage& message) const;
  // The same, keeping the message alive with the chunks.
  RTMPChunkedMessage chunk(RTMPChunkType type, uint32_t chunkStreamId,
                           std::shared_ptr<const RTMPMessage> message) const;
  // The same chunks copied end to end; valid until the next call.
  std::span<const uint8_t> putMessage(RTMPChunkType type, uint32_t chunkStreamId, const RTMPMessage& message);
  // Chunks in the last putMessage.
  size_t chunkCount() const { return chunkCount_; }

  std::string debugDescription() const;

  // Bytes a basic header of the id takes.
  static size_t basicHeaderSize(uint32_t chunkStreamId) {
    return chunkStreamId <= 63 ? 1 : chunkStreamId <= 319 ? 2 : 3;
  }
  // Writes a basic header; answers its size.
  static size_t writeBasicHeader(uint8_t* out, RTMPChunkType type, uint32_t chunkStreamId);

 private:
  uint32_t chunkSize_ = kDefaultChunkSize;
  Data out_;
  size_t chunkCount_ = 0;
};

}  // namespace rtmpmedley
