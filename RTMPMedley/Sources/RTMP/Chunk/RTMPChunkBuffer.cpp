#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"

#include <string>

#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

namespace {

void put24(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 16);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v);
}
void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

}  // namespace

size_t RTMPChunkBuffer::writeBasicHeader(uint8_t* out, RTMPChunkType type, uint32_t id) {
  const uint8_t fmt = static_cast<uint8_t>(static_cast<uint8_t>(type) << 6);
  if (id <= 63) {
    out[0] = fmt | static_cast<uint8_t>(id);
    return 1;
  }
  if (id <= 319) {
    out[0] = fmt;
    out[1] = static_cast<uint8_t>(id - 64);
    return 2;
  }
  out[0] = fmt | 1;
  out[1] = static_cast<uint8_t>((id - 64) & 0xFF);
  out[2] = static_cast<uint8_t>((id - 64) >> 8);
  return 3;
}

RTMPChunkedMessage RTMPChunkBuffer::chunk(RTMPChunkType type, uint32_t chunkStreamId,
                                          const RTMPMessage& message) const {
  RTMPChunkedMessage chunks;
  const Data& payload = message.payload();
  const size_t total = payload.size();
  if (total == 0) return chunks;
  if (total > kMaxMessageLength || chunkStreamId < kMinChunkStreamId || chunkStreamId > kMaxChunkStreamId) {
    auto& log = logger();
    if (log.isEnabledFor(logwell::LWLogLevel::error))
      log.error({"refused to send a message of", total, "bytes on chunk stream", std::to_string(chunkStreamId) + ":",
                 message.description()},
                __FILE__, __func__, __LINE__);
    return chunks;
  }
  const bool extended = type != RTMPChunkType::three && message.timestamp >= kExtendedTimestampMarker;

  uint8_t* o = chunks.first_.data();
  o += writeBasicHeader(o, type, chunkStreamId);
  if (type != RTMPChunkType::three) {
    put24(o, extended ? kExtendedTimestampMarker : message.timestamp);
    o += 3;
    if (type != RTMPChunkType::two) {
      put24(o, static_cast<uint32_t>(total));
      o[3] = static_cast<uint8_t>(message.type());
      o += 4;
    }
    if (type == RTMPChunkType::zero) {
      const uint32_t sid = message.streamId;
      o[0] = uint8_t(sid);
      o[1] = uint8_t(sid >> 8);
      o[2] = uint8_t(sid >> 16);
      o[3] = uint8_t(sid >> 24);
      o += 4;
    }
  }
  // The extended timestamp leads every chunk of the message.
  if (extended) {
    put32(o, message.timestamp);
    o += 4;
  }
  chunks.firstSize_ = static_cast<uint8_t>(o - chunks.first_.data());

  o = chunks.next_.data();
  o += writeBasicHeader(o, RTMPChunkType::three, chunkStreamId);
  if (extended) {
    put32(o, message.timestamp);
    o += 4;
  }
  chunks.nextSize_ = static_cast<uint8_t>(o - chunks.next_.data());

  chunks.payload_ = payload;
  chunks.chunkSize_ = chunkSize_;
  return chunks;
}

RTMPChunkedMessage RTMPChunkBuffer::chunk(RTMPChunkType type, uint32_t chunkStreamId,
                                          std::shared_ptr<const RTMPMessage> message) const {
  if (!message) return {};
  RTMPChunkedMessage chunks = chunk(type, chunkStreamId, *message);
  if (!chunks.empty()) chunks.owner = std::move(message);
  return chunks;
}

std::span<const uint8_t> RTMPChunkBuffer::putMessage(RTMPChunkType type, uint32_t chunkStreamId,
                                                     const RTMPMessage& message) {
  const RTMPChunkedMessage chunks = chunk(type, chunkStreamId, message);
  chunkCount_ = chunks.chunkCount();
  if (chunks.empty()) return {};
  out_.resize(chunks.size());
  chunks.copyTo(out_.data());
  return out_;
}

std::string RTMPChunkBuffer::debugDescription() const {
  return medley::Mirror::make("RTMPChunkBuffer", {{"chunkSize", chunkSize_}, {"chunks", chunkCount_}})
      .debugDescription();
}

}  // namespace rtmpmedley
