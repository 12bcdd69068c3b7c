#include "RTMPMedley/Sources/RTMP/Chunk/RTMPChunkMessageHeader.h"

#include "Medley/Sources/Extension/DebugDescription.h"

namespace rtmpmedley {

RTMPMessagePtr RTMPChunkMessageHeader::makeMessage() {
  if (!isComplete()) return nullptr;
  Data body = std::move(payload);
  payload = Data();
  return RTMPMessage::make(messageTypeId, messageStreamId, timestamp, std::move(body));
}

std::string RTMPChunkMessageHeader::debugDescription() const {
  return medley::Mirror::make("RTMPChunkMessageHeader", {{"timestamp", timestamp},
                                                         {"messageLength", messageLength},
                                                         {"messageTypeId", messageTypeId},
                                                         {"messageStreamId", messageStreamId},
                                                         {"payload", std::to_string(payload.size()) + " bytes"},
                                                         {"position", payload.size()}})
      .debugDescription();
}

}  // namespace rtmpmedley
