#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkReader.h"

#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley {

bool RTMPChunkReader::setChunkSize(uint32_t announced) {
  const auto size = RTMPSetChunkSizeMessage::acceptedSize(announced);
  if (!size) {
    auto& log = logger();
    if (log.isEnabledFor(logwell::LWLogLevel::warn))
      log.warn({"refused the peer's chunk size ", announced}, __FILE__, __func__, __LINE__);
    return false;
  }
  buffer_.setChunkSize(*size);
  return true;
}

void RTMPChunkReader::reset() {
  buffer_.clear();
  buffer_.setChunkSize(RTMPChunkBuffer::kDefaultChunkSize);
  chunks_.clear();
  malformed_ = false;
  malformedAt_ = {};
}

const RTMPChunkMessageHeader* RTMPChunkReader::chunkStream(uint32_t chunkStreamId) const {
  auto it = chunks_.find(chunkStreamId);
  return it == chunks_.end() ? nullptr : &it->second;
}

void RTMPChunkReader::put(std::span<const uint8_t> bytes) { buffer_.put(bytes); }

RTMPChunkReader::Result RTMPChunkReader::read() {
  if (malformed_) return Result{Status::malformed, malformedAt_};
  while (buffer_.bytesAvailable() > 0) {
    const size_t start = buffer_.position();
    const auto basic = buffer_.getBasicHeader();
    if (!basic) break;
    const auto [type, id] = *basic;
    auto it = chunks_.find(id);
    if (it == chunks_.end()) {
      // Types 2 and 3 lean on a length and type id read before on the same
      // chunk stream; without one the framing of everything after is unknown.
      if (type == RTMPChunkType::two || type == RTMPChunkType::three) {
        buffer_.setPosition(start);
        return fail(type, id);
      }
      it = chunks_.try_emplace(id).first;
    }
    RTMPChunkMessageHeader& header = it->second;
    if (!buffer_.getMessageHeader(type, header)) {
      buffer_.setPosition(start);
      break;
    }
    if (!header.isComplete()) continue;
    const RTMPChunkType startType = header.startType;
    RTMPMessagePtr message = header.makeMessage();
    if (!message) continue;
    apply(*message);
    return Result{Status::message, Received{std::move(message), startType, id}};
  }
  return Result{};
}

RTMPChunkReader::Status RTMPChunkReader::append(std::span<const uint8_t> bytes, const Handler& onMessage) {
  put(bytes);
  for (;;) {
    Result result = read();
    if (result.status != Status::message) return result.status;
    if (onMessage) onMessage(result.received);
  }
}

void RTMPChunkReader::apply(const RTMPMessage& message) {
  switch (message.type()) {
    case RTMPMessageType::chunkSize:
      setChunkSize(static_cast<const RTMPSetChunkSizeMessage&>(message).size);
      break;
    case RTMPMessageType::abort: {
      const uint32_t id = static_cast<const RTMPAbortMessge&>(message).chunkStreamId;
      if (auto it = chunks_.find(id); it != chunks_.end()) it->second.abort();
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
    log.error({"malformed chunk stream: a chunk of type ", static_cast<int>(type), " on chunk stream ",
               chunkStreamId, " continues no message header"},
              __FILE__, __func__, __LINE__);
  return Result{Status::malformed, malformedAt_};
}

}  // namespace rtmpmedley
