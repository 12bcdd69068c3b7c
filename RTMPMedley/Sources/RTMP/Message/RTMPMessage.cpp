#include "RTMPMedley/Sources/RTMP/Message/RTMPMessage.h"

#include <span>

#include "Medley/Sources/Extension/DebugDescription.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPAudioMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPDataMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectMessage.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPVideoMessage.h"

namespace rtmpmedley {

namespace {

// Up to four bytes big-endian; a shorter run reads as if zero-padded in front.
uint32_t leadingUInt32(std::span<const uint8_t> bytes) {
  const size_t n = std::min<size_t>(bytes.size(), 4);
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | bytes[i];
  return v;
}

}  // namespace

std::optional<RTMPMessageType> makeRTMPMessageType(uint8_t raw) {
  switch (raw) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8: case 9:
    case 15: case 16: case 17: case 18: case 19: case 20: case 22:
      return static_cast<RTMPMessageType>(raw);
    default:
      return std::nullopt;
  }
}

std::optional<RTMPObjectEncoding> makeRTMPObjectEncoding(uint8_t raw) {
  if (raw == 0) return RTMPObjectEncoding::amf0;
  if (raw == 3) return RTMPObjectEncoding::amf3;
  return std::nullopt;
}

std::string RTMPMessage::description() const {
  return medley::Mirror::make("RTMPMessage", {{"type", static_cast<int>(type())},
                                              {"streamId", streamId},
                                              {"timestamp", timestamp},
                                              {"payload", std::to_string(payload().size()) + " bytes"}})
      .debugDescription();
}

std::string RTMPPayloadMessage::description() const {
  const char* name = type() == RTMPMessageType::audio   ? "RTMPAudioMessage"
                     : type() == RTMPMessageType::video ? "RTMPVideoMessage"
                                                        : "RTMPAggregateMessage";
  return medley::Mirror::make(name, {{"streamId", streamId},
                                     {"timestamp", timestamp},
                                     {"payload", std::to_string(payload_.size()) + " bytes"}})
      .debugDescription();
}

RTMPMessagePtr RTMPMessage::make(uint8_t typeId, uint32_t streamId, uint32_t timestamp, Data payload) {
  const auto type = makeRTMPMessageType(typeId);
  if (!type) return nullptr;
  const auto amf = [&](RTMPMessageType amf3Type) {
    return *type == amf3Type ? RTMPObjectEncoding::amf3 : RTMPObjectEncoding::amf0;
  };
  switch (*type) {
    case RTMPMessageType::chunkSize:
      return std::make_shared<RTMPSetChunkSizeMessage>(streamId, timestamp, leadingUInt32(payload));
    case RTMPMessageType::abort:
      return std::make_shared<RTMPAbortMessge>(streamId, timestamp, leadingUInt32(payload));
    case RTMPMessageType::ack:
      return std::make_shared<RTMPAcknowledgementMessage>(streamId, timestamp, leadingUInt32(payload));
    case RTMPMessageType::windowAck:
      return std::make_shared<RTMPWindowAcknowledgementSizeMessage>(streamId, timestamp, leadingUInt32(payload));
    case RTMPMessageType::user: {
      if (payload.size() < 2) return nullptr;
      const auto event = RTMPUserControlMessage::makeEvent(payload[1]).value_or(RTMPUserControlMessage::Event::unknown);
      const auto value = static_cast<int32_t>(leadingUInt32(std::span<const uint8_t>(payload).subspan(2)));
      return std::make_shared<RTMPUserControlMessage>(streamId, timestamp, event, value);
    }
    case RTMPMessageType::bandwidth: {
      if (payload.size() < 5) return nullptr;
      const uint8_t l = payload[4];
      const auto limit = l <= 2 ? static_cast<RTMPSetPeerBandwidthMessage::Limit>(l)
                                : RTMPSetPeerBandwidthMessage::Limit::unknown;
      return std::make_shared<RTMPSetPeerBandwidthMessage>(streamId, timestamp, leadingUInt32(payload), limit);
    }
    case RTMPMessageType::audio:
      return std::make_shared<RTMPAudioMessage>(streamId, timestamp, std::move(payload));
    case RTMPMessageType::video:
      return std::make_shared<RTMPVideoMessage>(streamId, timestamp, std::move(payload));
    case RTMPMessageType::aggregate:
      return std::make_shared<RTMPAggregateMessage>(streamId, timestamp, std::move(payload));
    case RTMPMessageType::amf0Data:
    case RTMPMessageType::amf3Data:
      return RTMPDataMessage::read(streamId, timestamp, amf(RTMPMessageType::amf3Data), std::move(payload));
    case RTMPMessageType::amf0Command:
    case RTMPMessageType::amf3Command:
      return RTMPCommandMessage::read(streamId, timestamp, amf(RTMPMessageType::amf3Command), std::move(payload));
    case RTMPMessageType::amf0Shared:
    case RTMPMessageType::amf3Shared:
      return RTMPSharedObjectMessage::read(streamId, timestamp, amf(RTMPMessageType::amf3Shared), std::move(payload));
  }
  return nullptr;
}

}  // namespace rtmpmedley
