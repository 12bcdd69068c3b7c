#pragma once
// Turns the received chunk stream into messages: it keeps the input buffer
// and one reassembly record per chunk stream id, applies the peer's chunk
// size and abort messages at the point where they arrive, and hands every
// complete message on in order.
#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>

#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkMessageHeader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPChunkReader {
 public:
  struct Received {
    RTMPMessagePtr message;
    // The chunk type of the message's first chunk.
    RTMPChunkType chunkType;
    uint32_t chunkStreamId;
  };
  using Handler = std::function<void(const Received&)>;

  // Appends received bytes and calls `onMessage` for each message they
  // complete. Type ids without a message kind and unreadable payloads are
  // consumed without a call. A partial chunk waits for the next bytes.
  void append(std::span<const uint8_t> bytes, const Handler& onMessage);

  uint32_t chunkSize() const { return buffer_.chunkSize(); }
  // Applies a chunk size the peer announced (1...0xFFFFFF; larger values are
  // clamped); false, and no change, for 0 or a value with the top bit set.
  bool setChunkSize(uint32_t announced);

  // Back to a new connection's state: chunk size 128, no bytes, no records.
  void reset();

  size_t chunkStreamCount() const { return chunks_.size(); }
  // The record of a chunk stream, or nullptr.
  const RTMPChunkMessageHeader* chunkStream(uint32_t chunkStreamId) const;
  size_t bufferedBytes() const { return buffer_.bytesAvailable(); }

 private:
  RTMPChunkBuffer buffer_;
  std::unordered_map<uint32_t, RTMPChunkMessageHeader> chunks_;
};

}  // namespace rtmpmedley
