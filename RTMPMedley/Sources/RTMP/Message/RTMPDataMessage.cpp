#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"

#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAMFMessageLog.h"

namespace rtmpmedley {

RTMPDataMessage::RTMPDataMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding objectEncoding,
                                 std::string handlerName, AMFList arguments)
    : RTMPMessage(streamId, timestamp),
      objectEncoding(objectEncoding),
      handlerName(std::move(handlerName)),
      arguments(std::move(arguments)) {
  AMF0Serializer s;
  s.serialize(AMFValue(this->handlerName));
  for (const auto& a : this->arguments) s.serialize(a);
  payload_ = s.takeData();
}

std::shared_ptr<RTMPDataMessage> RTMPDataMessage::read(uint32_t streamId, uint32_t timestamp,
                                                       RTMPObjectEncoding objectEncoding, Data payload) {
  auto message = std::shared_ptr<RTMPDataMessage>(new RTMPDataMessage(streamId, timestamp, objectEncoding, Data()));
  AMF0Serializer s(std::move(payload));
  try {
    message->handlerName = s.deserializeString();
    while (s.bytesAvailable() > 0) message->arguments.push_back(s.deserialize());
  } catch (const std::exception& e) {
    detail::logUnreadablePayload(e, __FILE__, __LINE__);
    return nullptr;
  }
  message->payload_ = s.takeData();
  return message;
}

std::string RTMPDataMessage::description() const {
  return medley::Mirror::make("RTMPDataMessage", {{"streamId", streamId},
                                                  {"timestamp", timestamp},
                                                  {"objectEncoding", static_cast<int>(objectEncoding)},
                                                  {"handlerName", handlerName},
                                                  {"arguments", describe(arguments)}})
      .debugDescription();
}

}  // namespace rtmpmedley
