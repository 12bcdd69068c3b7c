#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkBuffer.h"

#include <algorithm>
#include <cstring>

#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

namespace {

uint32_t be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
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

// Input

void RTMPChunkBuffer::put(std::span<const uint8_t> bytes) {
  // Drop the consumed front once it outweighs what is left, so that moving
  // bytes costs no more than reading them.
  if (position_ > 0 && position_ >= data_.size() - position_) {
    data_.erase(data_.begin(), data_.begin() + static_cast<ptrdiff_t>(position_));
    position_ = 0;
  }
  data_.insert(data_.end(), bytes.begin(), bytes.end());
}

void RTMPChunkBuffer::clear() {
  data_.clear();
  position_ = 0;
}

std::optional<RTMPChunkBuffer::BasicHeader> RTMPChunkBuffer::getBasicHeader() {
  const size_t available = bytesAvailable();
  if (available < 1) return std::nullopt;
  const uint8_t* p = data_.data() + position_;
  const auto type = static_cast<RTMPChunkType>(p[0] >> 6);
  const uint8_t field = p[0] & 0x3F;
  if (field == 0) {
    if (available < 2) return std::nullopt;
    position_ += 2;
    return BasicHeader{type, static_cast<uint32_t>(p[1] + 64)};
  }
  if (field == 1) {
    if (available < 3) return std::nullopt;
    position_ += 3;
    return BasicHeader{type, static_cast<uint32_t>(p[1] + p[2] * 256 + 64)};
  }
  position_ += 1;
  return BasicHeader{type, field};
}

bool RTMPChunkBuffer::getMessageHeader(RTMPChunkType type, RTMPChunkMessageHeader& header) {
  const size_t available = bytesAvailable();
  const size_t size = static_cast<size_t>(messageHeaderSize(type));
  if (available < size) return false;
  const uint8_t* p = data_.data() + position_;
  size_t used = size;

  uint32_t timestamp = header.timestamp;
  uint32_t length = header.messageLength;
  uint8_t typeId = header.messageTypeId;
  uint32_t streamId = header.messageStreamId;
  bool extended = header.extendedTimestamp;
  if (type != RTMPChunkType::three) {
    timestamp = be24(p);
    if (type != RTMPChunkType::two) {
      length = be24(p + 3);
      typeId = p[6];
    }
    if (type == RTMPChunkType::zero) streamId = le32(p + 7);
    extended = timestamp == kExtendedTimestampMarker;
    if (extended) {
      if (available < used + 4) return false;
      timestamp = be32(p + used);
      used += 4;
    }
  } else if (extended) {
    // Peers differ on whether type 3 chunks repeat the extended timestamp:
    // take the field when it is there, the data otherwise. Bytes that differ
    // from it decide at once; a matching prefix waits for all four.
    uint8_t expected[4];
    put32(expected, timestamp);
    const size_t seen = std::min<size_t>(available - used, 4);
    if (std::memcmp(p + used, expected, seen) == 0) {
      if (seen < 4) return false;
      used += 4;
    }
  }

  // Every header but type 3 begins a new message; so does type 3 between messages.
  const bool startsMessage = type != RTMPChunkType::three || !header.isAssembling();
  const size_t filled = startsMessage ? 0 : header.payload.size();
  const size_t n = std::min<size_t>(length - filled, chunkSize_);
  if (available < used + n) return false;

  if (startsMessage && header.isAssembling()) {
    auto& log = logger();
    if (log.isEnabledFor(logwell::LWLogLevel::warn))
      log.warn({"dropped a partial message: ", header.debugDescription()}, __FILE__, __func__, __LINE__);
  }
  header.timestamp = timestamp;
  header.messageLength = length;
  header.messageTypeId = typeId;
  header.messageStreamId = streamId;
  header.extendedTimestamp = extended;
  if (startsMessage) {
    header.payload.clear();
    header.startType = type;
    // One allocation when the whole message has arrived; storage still follows
    // the bytes received, never the announced length alone.
    header.payload.reserve(std::min<size_t>(length, available - used));
  }
  header.payload.insert(header.payload.end(), p + used, p + used + n);
  position_ += used + n;
  return true;
}

// Output

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

void RTMPChunkBuffer::putBasicHeader(RTMPChunkType type, uint32_t chunkStreamId) {
  uint8_t b[3];
  const size_t n = writeBasicHeader(b, type, chunkStreamId);
  out_.insert(out_.end(), b, b + n);
}

std::span<const uint8_t> RTMPChunkBuffer::putMessage(RTMPChunkType type, uint32_t chunkStreamId,
                                                     const RTMPMessage& message) {
  chunkCount_ = 0;
  const Data& payload = message.payload();
  const size_t total = payload.size();
  if (total == 0) return {};
  if (total > kMaxMessageLength || chunkStreamId < kMinChunkStreamId || chunkStreamId > kMaxChunkStreamId) {
    auto& log = logger();
    if (log.isEnabledFor(logwell::LWLogLevel::error))
      log.error({"refused to send a message of ", total, " bytes on chunk stream ", chunkStreamId, ": ",
                 message.description()},
                __FILE__, __func__, __LINE__);
    return {};
  }
  const size_t size = chunkSize_;
  const size_t chunks = (total + size - 1) / size;
  const size_t basic = basicHeaderSize(chunkStreamId);
  const bool extended = type != RTMPChunkType::three && message.timestamp >= kExtendedTimestampMarker;
  const size_t extra = extended ? 4 : 0;
  const size_t bytes =
      total + chunks * (basic + extra) + static_cast<size_t>(messageHeaderSize(type));
  out_.resize(bytes);

  uint8_t* o = out_.data();
  const uint8_t* src = payload.data();
  size_t offset = 0;
  for (size_t i = 0; i < chunks; ++i) {
    o += writeBasicHeader(o, i == 0 ? type : RTMPChunkType::three, chunkStreamId);
    if (i == 0 && type != RTMPChunkType::three) {
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
    const size_t n = std::min(size, total - offset);
    std::memcpy(o, src + offset, n);
    o += n;
    offset += n;
  }
  chunkCount_ = chunks;
  return {out_.data(), bytes};
}

std::string RTMPChunkBuffer::debugDescription() const {
  return medley::Mirror::make("RTMPChunkBuffer", {{"chunkSize", chunkSize_},
                                                  {"position", position_},
                                                  {"length", data_.size()}})
      .debugDescription();
}

}  // namespace rtmpmedley
