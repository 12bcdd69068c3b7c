#pragma once
// The reassembly record of one chunk stream: the header fields last read on
// it and the message being put together from its chunks.
#include <cstdint>
#include <string>

#include "Medley/Sources/Extension/Data.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunk.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

namespace rtmpmedley {

class RTMPChunkMessageHeader {
 public:
  // Absolute for chunk type 0, the delta for types 1 and 2, kept by type 3;
  // the extended value when one was read.
  uint32_t timestamp = 0;
  uint32_t messageLength = 0;
  uint8_t messageTypeId = 0;
  uint32_t messageStreamId = 0;
  // Whether the last full header carried an extended timestamp (which type 3
  // chunks of the same stream may repeat).
  bool extendedTimestamp = false;
  // The chunk type that started the message being assembled.
  RTMPChunkType startType = RTMPChunkType::zero;
  // The bytes of the message received so far; grows with the chunks, never
  // ahead of them.
  Data payload;
  // Storage reserved for the payload beyond the bytes received when it began,
  // charged to the reader's read-ahead allowance until the message ends.
  size_t reservedAhead = 0;

  size_t position() const { return payload.size(); }
  bool isComplete() const { return payload.size() >= messageLength; }
  bool isAssembling() const { return !payload.empty(); }

  // The typed message once the payload is complete (the payload moves into
  // it and the record is ready for the next message); none before, and none
  // for type ids without a message kind.
  RTMPMessagePtr makeMessage();

  // Drops a partly received message.
  void abort() { payload.clear(); }

  std::string debugDescription() const;
};

}  // namespace rtmpmedley
