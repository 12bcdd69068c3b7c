#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"

#include "Medley/Sources/Extension/DebugDescription.h"

namespace rtmpmedley {

namespace {
Data bigEndian(uint32_t v) { return Data{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
}  // namespace

RTMPUInt32ControlMessage::RTMPUInt32ControlMessage(uint32_t streamId, uint32_t timestamp, uint32_t field)
    : RTMPMessage(streamId, timestamp), payload_(bigEndian(field)) {}

std::string RTMPUInt32ControlMessage::description() const {
  return medley::Mirror::make(name(), {{"streamId", streamId}, {"timestamp", timestamp}, {fieldName(), field()}})
      .debugDescription();
}

std::optional<uint32_t> RTMPSetChunkSizeMessage::acceptedSize(uint32_t announced) {
  if (announced == 0 || (announced & 0x80000000u)) return std::nullopt;
  return std::min(announced, kMaximumSize);
}

RTMPSetPeerBandwidthMessage::RTMPSetPeerBandwidthMessage(uint32_t streamId, uint32_t timestamp, uint32_t size,
                                                         Limit limit)
    : RTMPMessage(streamId, timestamp), size(size), limit(limit), payload_([&] {
        Data out = bigEndian(size);
        out.push_back(static_cast<uint8_t>(limit));
        return out;
      }()) {}

std::string RTMPSetPeerBandwidthMessage::description() const {
  return medley::Mirror::make("RTMPSetPeerBandwidthMessage", {{"streamId", streamId},
                                                              {"timestamp", timestamp},
                                                              {"size", size},
                                                              {"limit", static_cast<int>(limit)}})
      .debugDescription();
}

std::optional<RTMPUserControlMessage::Event> RTMPUserControlMessage::makeEvent(uint8_t raw) {
  switch (raw) {
    case 0: case 1: case 2: case 3: case 4: case 6: case 7: case 31: case 32: case 255:
      return static_cast<Event>(raw);
    default:
      return std::nullopt;
  }
}

RTMPUserControlMessage::RTMPUserControlMessage(uint32_t streamId, uint32_t timestamp, Event event, int32_t value)
    : RTMPMessage(streamId, timestamp), event(event), value(value), payload_([&] {
        Data out{0, static_cast<uint8_t>(event)};
        const Data field = bigEndian(static_cast<uint32_t>(value));
        out.insert(out.end(), field.begin(), field.end());
        return out;
      }()) {}

std::string RTMPUserControlMessage::description() const {
  return medley::Mirror::make("RTMPUserControlMessage", {{"streamId", streamId},
                                                         {"timestamp", timestamp},
                                                         {"event", static_cast<int>(event)},
                                                         {"value", value}})
      .debugDescription();
}

}  // namespace rtmpmedley
