#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"

#include <cmath>

#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAMFMessageLog.h"

namespace rtmpmedley {

namespace {

// Transaction ids are whole numbers; anything else a peer sends is clamped.
int64_t transactionIdOf(double d) {
  if (std::isnan(d)) return 0;
  if (d <= -9223372036854775808.0) return INT64_MIN;
  if (d >= 9223372036854775808.0) return INT64_MAX;
  return static_cast<int64_t>(d);
}

}  // namespace

RTMPCommandMessage::RTMPCommandMessage(uint32_t streamId, uint32_t timestamp, RTMPObjectEncoding objectEncoding,
                                       std::string commandName, int64_t transactionId,
                                       std::optional<AMFObject> commandObject, AMFList arguments)
    : RTMPMessage(streamId, timestamp),
      objectEncoding(objectEncoding),
      commandName(std::move(commandName)),
      transactionId(transactionId),
      commandObject(std::move(commandObject)),
      arguments(std::move(arguments)) {
  AMF0Serializer s;
  if (objectEncoding == RTMPObjectEncoding::amf3) s.writeUInt8(0x00);
  s.serialize(AMFValue(this->commandName));
  s.writeUInt8(AMF0Serializer::number).writeDouble(static_cast<double>(transactionId));
  s.serialize(this->commandObject ? AMFValue(*this->commandObject) : AMFValue());
  for (const auto& a : this->arguments) s.serialize(a);
  payload_ = s.takeData();
}

std::shared_ptr<RTMPCommandMessage> RTMPCommandMessage::read(uint32_t streamId, uint32_t timestamp,
                                                             RTMPObjectEncoding objectEncoding, Data payload) {
  auto message = std::shared_ptr<RTMPCommandMessage>(
      new RTMPCommandMessage(streamId, timestamp, objectEncoding, Data()));
  AMF0Serializer s(std::move(payload));
  try {
    // The AMF3 form leads with one format byte before the AMF0 values.
    if (objectEncoding == RTMPObjectEncoding::amf3 && s.length() > 0 && s.data()[0] == 0x00) s.setPosition(1);
    message->commandName = s.deserializeString();
    const AMFValue id = s.deserialize();
    const auto number = id.number();
    if (!number) throw AMFSerializerError(AMFSerializerError::Kind::deserialize);
    message->transactionId = transactionIdOf(*number);
    AMFValue object = s.deserialize();
    if (auto o = object.get<AMFObject>()) message->commandObject = std::move(*o);
    else if (auto t = object.get<AMFTypedObject>()) message->commandObject = std::move(t->data);
    else if (!object.isNull()) throw AMFSerializerError(AMFSerializerError::Kind::deserialize);
    while (s.bytesAvailable() > 0) {
      try {
        message->arguments.push_back(s.deserialize());
      } catch (const std::exception& e) {
        // Keep the arguments read so far when a later one is unreadable.
        if (message->arguments.empty()) throw;
        detail::logUnreadablePayload(e, __FILE__, __LINE__);
        break;
      }
    }
  } catch (const std::exception& e) {
    detail::logUnreadablePayload(e, __FILE__, __LINE__);
    return nullptr;
  }
  message->payload_ = s.takeData();
  return message;
}

std::string RTMPCommandMessage::description() const {
  return medley::Mirror::make(
             "RTMPCommandMessage",
             {{"streamId", streamId},
              {"timestamp", timestamp},
              {"objectEncoding", static_cast<int>(objectEncoding)},
              {"commandName", commandName},
              {"transactionId", transactionId},
              {"commandObject", commandObject ? "Optional(" + describe(*commandObject) + ")" : std::string("nil")},
              {"arguments", describe(arguments)}})
      .debugDescription();
}

}  // namespace rtmpmedley
