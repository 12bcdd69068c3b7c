#include "RTMPMedley/Sources/RTMP/Message/RTMPControlMessages.h"

#include "Medley/Sources/Extension/DebugDescription.h"

namespace rtmpmedley {

namespace {
void putUInt32(Data& out, uint32_t v) {
  out.push_back(uint8_t(v >> 24));
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
}  // namespace

const Data& RTMPUInt32ControlMessage::payload() const {
  payload_.clear();
  putUInt32(payload_, field());
  return payload_;
}

std::string RTMPUInt32ControlMessage::description() const {
  return medley::Mirror::make(name(), {{"streamId", streamId}, {"timestamp", timestamp}, {fieldName(), field()}})
      .debugDescription();
}

std::optional<uint32_t> RTMPSetChunkSizeMessage::acceptedSize(uint32_t announced) {
  if (announced == 0 || (announced & 0x80000000u)) return std::nullopt;
  return std::min(announced, kMaximumSize);
}

const Data& RTMPSetPeerBandwidthMessage::payload() const {
  payload_.clear();
  putUInt32(payload_, size);
  payload_.push_back(static_cast<uint8_t>(limit));
  return payload_;
}

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

const Data& RTMPUserControlMessage::payload() const {
  payload_.clear();
  payload_.push_back(0);
  payload_.push_back(static_cast<uint8_t>(event));
  putUInt32(payload_, static_cast<uint32_t>(value));
  return payload_;
}

std::string RTMPUserControlMessage::description() const {
  return medley::Mirror::make("RTMPUserControlMessage", {{"streamId", streamId},
                                                         {"timestamp", timestamp},
                                                         {"event", static_cast<int>(event)},
                                                         {"value", value}})
      .debugDescription();
}

}  // namespace rtmpmedley
