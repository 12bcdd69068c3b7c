#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectMessage.h"

#include <stdexcept>

#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAMFMessageLog.h"

namespace rtmpmedley {

RTMPSharedObjectMessage::RTMPSharedObjectMessage(uint32_t streamId, uint32_t timestamp,
                                                 RTMPObjectEncoding objectEncoding, std::string sharedObjectName,
                                                 uint32_t currentVersion, Data flags,
                                                 std::vector<RTMPSharedObjectEvent> events)
    : RTMPMessage(streamId, timestamp),
      objectEncoding(objectEncoding),
      sharedObjectName(std::move(sharedObjectName)),
      currentVersion(currentVersion),
      flags(std::move(flags)),
      events(std::move(events)) {
  if (this->sharedObjectName.size() > 0xFFFF) throw std::length_error("shared-object name longer than 65535 bytes");
  this->flags.resize(8, 0);
  AMF0Serializer s;
  if (objectEncoding == RTMPObjectEncoding::amf3) s.writeUInt8(0x00);
  s.writeUTF8(this->sharedObjectName);
  s.writeUInt32(currentVersion);
  s.writeBytes(this->flags);
  for (const auto& e : this->events) e.serialize(s);
  payload_ = s.takeData();
}

std::shared_ptr<RTMPSharedObjectMessage> RTMPSharedObjectMessage::read(uint32_t streamId, uint32_t timestamp,
                                                                       RTMPObjectEncoding objectEncoding,
                                                                       Data payload) {
  auto message = std::shared_ptr<RTMPSharedObjectMessage>(
      new RTMPSharedObjectMessage(streamId, timestamp, objectEncoding, Data()));
  AMF0Serializer s(std::move(payload));
  try {
    if (objectEncoding == RTMPObjectEncoding::amf3) s.setPosition(1);
    message->sharedObjectName = s.readUTF8();
    message->currentVersion = s.readUInt32();
    message->flags = s.readBytes(8);
    while (s.bytesAvailable() > 0) {
      if (auto event = RTMPSharedObjectEvent::read(s)) message->events.push_back(std::move(*event));
    }
  } catch (const std::exception& e) {
    detail::logUnreadablePayload(e, __FILE__, __LINE__);
    return nullptr;
  }
  message->payload_ = s.takeData();
  return message;
}

std::string RTMPSharedObjectMessage::description() const {
  std::string list = "[";
  for (size_t i = 0; i < events.size(); ++i) list += (i ? ", " : "") + events[i].debugDescription();
  list += "]";
  return medley::Mirror::make("RTMPSharedObjectMessage", {{"streamId", streamId},
                                                          {"timestamp", timestamp},
                                                          {"objectEncoding", static_cast<int>(objectEncoding)},
                                                          {"sharedObjectName", sharedObjectName},
                                                          {"currentVersion", currentVersion},
                                                          {"events", list}})
      .debugDescription();
}

}  // namespace rtmpmedley
