#pragma once
// Chunk bytes of one direction of a connection.
//
// Input: received bytes are appended with put(); getBasicHeader() and
// getMessageHeader() then consume one whole chunk into its chunk stream's
// record, or say that its bytes are not all there yet, having committed
// nothing to the record (the caller sets the position back to the chunk's
// start and waits).
//
// Output: putMessage() cuts one message into chunks laid end to end in one
// reused buffer, so that a message leaves as one contiguous block and
// chunking allocates nothing once the buffer has grown.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "Medley/Sources/Extension/Data.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkMessageHeader.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPChunkBuffer {
 public:
  static constexpr uint32_t kDefaultChunkSize = 128;
  // Basic header (3), message header (11) and extended timestamp (4).
  static constexpr size_t kMaxHeaderSize = 18;

  RTMPChunkBuffer() = default;

  uint32_t chunkSize() const { return chunkSize_; }
  // Values below 1 are taken as 1. Storage follows the data, not this size.
  void setChunkSize(uint32_t size) { chunkSize_ = size == 0 ? 1 : size; }

  // Input.
  size_t position() const { return position_; }
  void setPosition(size_t position) { position_ = position <= length() ? position : length(); }
  size_t length() const { return data_.size(); }
  size_t bytesAvailable() const { return data_.size() - position_; }
  void put(std::span<const uint8_t> bytes);
  struct BasicHeader {
    RTMPChunkType type;
    uint32_t chunkStreamId;
  };
  // The basic header at the position, which moves past it; none (and no move)
  // while its bytes are incomplete.
  std::optional<BasicHeader> getBasicHeader();
  // The message header, extended timestamp and data of the chunk whose basic
  // header was just read, into its chunk stream's record; false while they
  // are incomplete (the position may have moved, the record has not changed).
  bool getMessageHeader(RTMPChunkType type, RTMPChunkMessageHeader& header);
  // Forgets every unread byte.
  void clear();

  // Output. Writes a basic header at the end of the output.
  void putBasicHeader(RTMPChunkType type, uint32_t chunkStreamId);
  // The message's chunks, the first with `type` and its header, the others
  // type 3; valid until the next call. Empty for an empty payload, a payload of
  // 2^24 bytes or more (logged) or a chunk stream id outside 2...65599.
  std::span<const uint8_t> putMessage(RTMPChunkType type, uint32_t chunkStreamId, const RTMPMessage& message);
  // Chunks in the last putMessage.
  size_t chunkCount() const { return chunkCount_; }

  std::string debugDescription() const;

  // Bytes a basic header of the id takes.
  static size_t basicHeaderSize(uint32_t chunkStreamId) {
    return chunkStreamId <= 63 ? 1 : chunkStreamId <= 319 ? 2 : 3;
  }

 private:
  static size_t writeBasicHeader(uint8_t* out, RTMPChunkType type, uint32_t chunkStreamId);

  uint32_t chunkSize_ = kDefaultChunkSize;
  // Input: unread bytes from position_ on; the consumed front is dropped lazily.
  Data data_;
  size_t position_ = 0;
  // Output.
  Data out_;
  size_t chunkCount_ = 0;
};

}  // namespace rtmpmedley
