#pragma once
// Turns the received chunk stream into messages: it keeps the input buffer
// and one reassembly record per chunk stream id, applies the peer's chunk
// size and abort messages at the message boundary where they arrive, and
// hands out complete messages one at a time, in order.
//
// Reading is a result, not an exception: each read() gives the next message,
// says that more bytes are needed, or that the stream is malformed. A
// malformed stream stays so until reset(): its framing is lost.
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
    RTMPChunkType chunkType = RTMPChunkType::zero;
    uint32_t chunkStreamId = 0;
  };
  enum class Status : uint8_t {
    // `received` holds the next message.
    message,
    // Every complete chunk has been read; the rest waits for more bytes.
    needMoreData,
    // A chunk continues a message header its chunk stream never had;
    // `received` names the chunk type and chunk stream of the offending chunk.
    malformed,
  };
  struct Result {
    Status status = Status::needMoreData;
    Received received;
  };
  using Handler = std::function<void(const Received&)>;

  // Appends received bytes.
  void put(std::span<const uint8_t> bytes);
  // The next complete message. Type ids without a message kind and unreadable
  // payloads are consumed without a result. A chunk size or abort takes
  // effect before the chunk after it is read.
  Result read();
  // put() then read() until no message is left: `onMessage` for each message,
  // and what the last read() said (needMoreData or malformed).
  Status append(std::span<const uint8_t> bytes, const Handler& onMessage);

  uint32_t chunkSize() const { return buffer_.chunkSize(); }
  // Applies a chunk size the peer announced (1...0xFFFFFF; larger values are
  // clamped); false, and no change, for 0 or a value with the top bit set.
  bool setChunkSize(uint32_t announced);

  // Back to a new connection's state: chunk size 128, no bytes, no records.
  void reset();

  bool isMalformed() const { return malformed_; }
  size_t chunkStreamCount() const { return chunks_.size(); }
  // The record of a chunk stream, or nullptr.
  const RTMPChunkMessageHeader* chunkStream(uint32_t chunkStreamId) const;
  size_t bufferedBytes() const { return buffer_.bytesAvailable(); }

 private:
  // What a message does to the chunk stream itself (chunk size, abort).
  void apply(const RTMPMessage& message);
  Result fail(RTMPChunkType type, uint32_t chunkStreamId);

  RTMPChunkBuffer buffer_;
  std::unordered_map<uint32_t, RTMPChunkMessageHeader> chunks_;
  bool malformed_ = false;
  Received malformedAt_;
};

}  // namespace rtmpmedley
