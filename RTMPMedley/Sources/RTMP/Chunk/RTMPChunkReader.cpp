#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"

#include <algorithm>
#include <cstring>

#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
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

}  // namespace

bool RTMPChunkReader::setChunkSize(uint32_t announced) {
  const auto size = RTMPSetChunkSizeMessage::acceptedSize(announced);
  if (!size) {
    auto& log = logger();
    if (log.isEnabledFor(logwell::LWLogLevel::warn))
      log.warn({"refused the peer's chunk size", announced}, __FILE__, __func__, __LINE__);
    return false;
  }
  chunkSize_ = std::max<uint32_t>(*size, 1);
  return true;
}

void RTMPChunkReader::reset() {
  chunkSize_ = kDefaultChunkSize;
  chunks_.clear();
  low_.fill(nullptr);
  reservedAhead_ = 0;
  input_.clear();
  position_ = 0;
  stashBegin_ = stashEnd_ = 0;
  current_ = nullptr;
  currentId_ = 0;
  remaining_ = 0;
  malformed_ = false;
  malformedAt_ = {};
}

const RTMPChunkMessageHeader* RTMPChunkReader::chunkStream(uint32_t chunkStreamId) const {
  auto it = chunks_.find(chunkStreamId);
  return it == chunks_.end() ? nullptr : &it->second;
}

RTMPChunkMessageHeader* RTMPChunkReader::find(uint32_t chunkStreamId) {
  if (chunkStreamId < low_.size()) return low_[chunkStreamId];
  auto it = chunks_.find(chunkStreamId);
  return it == chunks_.end() ? nullptr : &it->second;
}

void RTMPChunkReader::settle(RTMPChunkMessageHeader& record) {
  reservedAhead_ -= record.reservedAhead;
  record.reservedAhead = 0;
}

void RTMPChunkReader::compact() {
  if (position_ == input_.size()) {
    input_.clear();
    position_ = 0;
  } else if (position_ > 0 && position_ >= input_.size() - position_) {
    // Moving the unread rest costs no more than reading it.
    input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(position_));
    position_ = 0;
  }
}

void RTMPChunkReader::put(std::span<const uint8_t> bytes) {
  compact();
  input_.insert(input_.end(), bytes.begin(), bytes.end());
}

void RTMPChunkReader::put(medley::Data&& bytes) {
  if (position_ < input_.size()) {
    put(std::span<const uint8_t>(bytes));
    return;
  }
  input_ = std::move(bytes);
  position_ = 0;
}

RTMPChunkReader::Result RTMPChunkReader::read() {
  std::span<const uint8_t> in(input_.data() + position_, input_.size() - position_);
  Result result = next(in);
  position_ = input_.size() - in.size();
  return result;
}

RTMPChunkReader::Status RTMPChunkReader::append(std::span<const uint8_t> bytes, const Handler& onMessage) {
  if (position_ < input_.size()) {
    // Bytes put before come first: keep the order by queueing these after them.
    put(bytes);
    for (;;) {
      Result result = read();
      if (result.status != Status::message) return result.status;
      if (onMessage) onMessage(result.received);
    }
  }
  for (;;) {
    Result result = next(bytes);
    if (result.status != Status::message) return result.status;
    if (onMessage) onMessage(result.received);
  }
}

RTMPChunkReader::Result RTMPChunkReader::next(std::span<const uint8_t>& in) {
  if (malformed_) return Result{Status::malformed, malformedAt_};
  for (;;) {
    if (current_) {
      if (stashBegin_ < stashEnd_) stashBegin_ += take(stash_.data() + stashBegin_, stashEnd_ - stashBegin_);
      if (remaining_ > 0 && !in.empty()) in = in.subspan(take(in.data(), in.size()));
      if (remaining_ > 0) return Result{};
      RTMPChunkMessageHeader& record = *current_;
      if (!record.isComplete()) {
        // The common next chunk: a one-byte type 3 header continuing this
        // message, without an extended timestamp to look for.
        if (stashBegin_ == stashEnd_ && !in.empty() && currentId_ < low_.size() &&
            in[0] == (0xC0 | currentId_) && !record.extendedTimestamp) {
          in = in.subspan(1);
          remaining_ = std::min<size_t>(record.messageLength - record.payload.size(), chunkSize_);
          continue;
        }
        current_ = nullptr;
        continue;
      }
      current_ = nullptr;
      settle(record);
      const RTMPChunkType startType = record.startType;
      RTMPMessagePtr message = record.makeMessage();
      if (!message) continue;
      apply(*message);
      return Result{Status::message, Received{std::move(message), startType, currentId_}};
    }

    Header header;
    size_t available = 0;
    if (stashBegin_ < stashEnd_) {
      // A header split across reads: gather its bytes in the stash, which is
      // read before `in` from here on.
      const size_t kept = stashEnd_ - stashBegin_;
      std::memmove(stash_.data(), stash_.data() + stashBegin_, kept);
      stashBegin_ = 0;
      const size_t added = std::min(in.size(), stash_.size() - kept);
      std::memcpy(stash_.data() + kept, in.data(), added);
      stashEnd_ = kept + added;
      in = in.subspan(added);
      const Parse parse = parseHeader(stash_.data(), stashEnd_, header);
      // The stash holds more than the largest header, so this took all of `in`.
      if (parse == Parse::needMoreData) return Result{};
      if (parse == Parse::malformed) return fail(header.type, header.chunkStreamId);
      stashBegin_ = header.size;
      available = (stashEnd_ - stashBegin_) + in.size();
    } else {
      if (in.empty()) return Result{};
      const Parse parse = parseHeader(in.data(), in.size(), header);
      if (parse == Parse::needMoreData) {
        std::memcpy(stash_.data(), in.data(), in.size());
        stashBegin_ = 0;
        stashEnd_ = in.size();
        in = {};
        return Result{};
      }
      if (parse == Parse::malformed) return fail(header.type, header.chunkStreamId);
      in = in.subspan(header.size);
      available = in.size();
    }
    remaining_ = begin(header, available);
  }
}

RTMPChunkReader::Parse RTMPChunkReader::parseHeader(const uint8_t* p, size_t available, Header& h) {
  if (available < 1) return Parse::needMoreData;
  h.type = static_cast<RTMPChunkType>(p[0] >> 6);
  const uint8_t field = p[0] & 0x3F;
  size_t used = 1;
  if (field == 0) {
    if (available < 2) return Parse::needMoreData;
    h.chunkStreamId = static_cast<uint32_t>(p[1] + 64);
    used = 2;
  } else if (field == 1) {
    if (available < 3) return Parse::needMoreData;
    h.chunkStreamId = static_cast<uint32_t>(p[1] + p[2] * 256 + 64);
    used = 3;
  } else {
    h.chunkStreamId = field;
  }
  const RTMPChunkMessageHeader* record = h.record = find(h.chunkStreamId);
  // Types 2 and 3 lean on a length and type id read before on the same chunk
  // stream; without one the framing of everything after is unknown.
  if (!record && (h.type == RTMPChunkType::two || h.type == RTMPChunkType::three)) return Parse::malformed;

  const size_t size = static_cast<size_t>(messageHeaderSize(h.type));
  if (available < used + size) return Parse::needMoreData;
  if (record) {
    h.timestamp = record->timestamp;
    h.messageLength = record->messageLength;
    h.messageTypeId = record->messageTypeId;
    h.messageStreamId = record->messageStreamId;
    h.extended = record->extendedTimestamp;
  }
  const uint8_t* q = p + used;
  used += size;
  if (h.type != RTMPChunkType::three) {
    h.timestamp = be24(q);
    if (h.type != RTMPChunkType::two) {
      h.messageLength = be24(q + 3);
      h.messageTypeId = q[6];
    }
    if (h.type == RTMPChunkType::zero) h.messageStreamId = le32(q + 7);
    h.extended = h.timestamp == kExtendedTimestampMarker;
    if (h.extended) {
      if (available < used + 4) return Parse::needMoreData;
      h.timestamp = be32(p + used);
      used += 4;
    }
  } else if (h.extended) {
    // Peers differ on whether type 3 chunks repeat the extended timestamp:
    // take the field when it is there, the data otherwise. Bytes that differ
    // from it decide at once; a matching prefix waits for all four.
    const uint8_t expected[4] = {uint8_t(h.timestamp >> 24), uint8_t(h.timestamp >> 16), uint8_t(h.timestamp >> 8),
                                 uint8_t(h.timestamp)};
    const size_t seen = std::min<size_t>(available - used, 4);
    if (std::memcmp(p + used, expected, seen) == 0) {
      if (seen < 4) return Parse::needMoreData;
      used += 4;
    }
  }
  h.size = used;
  return Parse::header;
}

size_t RTMPChunkReader::begin(Header& h, size_t available) {
  if (!h.record) {
    h.record = &chunks_.try_emplace(h.chunkStreamId).first->second;
    if (h.chunkStreamId < low_.size()) low_[h.chunkStreamId] = h.record;
  }
  RTMPChunkMessageHeader& record = *h.record;
  // Every header but type 3 begins a new message; so does type 3 between messages.
  const bool startsMessage = h.type != RTMPChunkType::three || !record.isAssembling();
  if (startsMessage && record.isAssembling()) {
    auto& log = logger();
    if (log.isEnabledFor(logwell::LWLogLevel::warn))
      log.warn({"dropped a partial message:", record.debugDescription()}, __FILE__, __func__, __LINE__);
  }
  record.timestamp = h.timestamp;
  record.messageLength = h.messageLength;
  record.messageTypeId = h.messageTypeId;
  record.messageStreamId = h.messageStreamId;
  record.extendedTimestamp = h.extended;
  if (startsMessage) {
    settle(record);
    record.payload.clear();
    record.startType = h.type;
    // One allocation for the whole message: this chunk's bytes at hand, and
    // the rest as far as the read-ahead allowance reaches (bytes after this
    // chunk may belong to other chunk streams). Announced lengths alone claim
    // no more.
    const size_t atHand = std::min<size_t>({h.messageLength, chunkSize_, available});
    const size_t ahead = std::min<size_t>(h.messageLength - atHand, kReadAheadAllowance - reservedAhead_);
    if (atHand + ahead > record.payload.capacity()) record.payload.reserve(atHand + ahead);
    record.reservedAhead = ahead;
    reservedAhead_ += ahead;
  }
  current_ = &record;
  currentId_ = h.chunkStreamId;
  return std::min<size_t>(record.messageLength - record.payload.size(), chunkSize_);
}

size_t RTMPChunkReader::take(const uint8_t* bytes, size_t count) {
  Data& payload = current_->payload;
  const size_t n = std::min(count, remaining_);
  const size_t needed = payload.size() + n;
  if (needed > payload.capacity())
    payload.reserve(std::min<size_t>(current_->messageLength, std::max(needed, 2 * payload.capacity())));
  payload.insert(payload.end(), bytes, bytes + n);
  remaining_ -= n;
  return n;
}

void RTMPChunkReader::apply(const RTMPMessage& message) {
  switch (message.type()) {
    case RTMPMessageType::chunkSize:
      setChunkSize(static_cast<const RTMPSetChunkSizeMessage&>(message).size);
      break;
    case RTMPMessageType::abort: {
      const uint32_t id = static_cast<const RTMPAbortMessge&>(message).chunkStreamId;
      if (auto* record = find(id)) {
        settle(*record);
        record->abort();
      }
      break;
    }
    default:
      break;
  }
}

RTMPChunkReader::Result RTMPChunkReader::fail(RTMPChunkType type, uint32_t chunkStreamId) {
  malformed_ = true;
  malformedAt_ = Received{nullptr, type, chunkStreamId};
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::error))
    log.error({"malformed chunk stream: a chunk of type", static_cast<int>(type), "on chunk stream", chunkStreamId,
               "continues no message header"},
              __FILE__, __func__, __LINE__);
  return Result{Status::malformed, malformedAt_};
}

}  // namespace rtmpmedley
