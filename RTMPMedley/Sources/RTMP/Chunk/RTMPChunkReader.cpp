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
}

const RTMPChunkMessageHeader* RTMPChunkReader::chunkStream(uint32_t chunkStreamId) const {
  auto it = chunks_.find(chunkStreamId);
  return it == chunks_.end() ? nullptr : &it->second;
}

void RTMPChunkReader::append(std::span<const uint8_t> bytes, const Handler& onMessage) {
  buffer_.put(bytes);
  while (buffer_.bytesAvailable() > 0) {
    const size_t start = buffer_.position();
    RTMPMessagePtr message;
    RTMPChunkType chunkType = RTMPChunkType::zero;
    uint32_t id = 0;
    try {
      const auto [type, chunkStreamId] = buffer_.getBasicHeader();
      id = chunkStreamId;
      RTMPChunkMessageHeader& header = chunks_[id];
      buffer_.getMessageHeader(type, header);
      chunkType = header.startType;
      message = header.makeMessage();
    } catch (const RTMPChunkError&) {
      buffer_.setPosition(start);
      return;
    }
    if (!message) continue;
    // Control messages that shape the chunk stream act before the next chunk is read.
    if (auto* size = dynamic_cast<RTMPSetChunkSizeMessage*>(message.get())) {
      setChunkSize(size->size);
    } else if (auto* abort = dynamic_cast<RTMPAbortMessge*>(message.get())) {
      if (abort->chunkStreamId <= kMaxChunkStreamId) {
        auto it = chunks_.find(static_cast<uint32_t>(abort->chunkStreamId));
        if (it != chunks_.end()) it->second.abort();
      }
    }
    if (onMessage) onMessage(Received{std::move(message), chunkType, id});
  }
}

}  // namespace rtmpmedley
