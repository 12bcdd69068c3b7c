#include "RTMPMedley/Sources/RTMP/Message/RTMPSharedObjectEvent.h"

#include <stdexcept>

#include "Medley/Sources/Extension/DebugDescription.h"

namespace rtmpmedley {

std::optional<RTMPSharedObjectType> makeRTMPSharedObjectType(uint8_t raw) {
  if ((raw >= 1 && raw <= 11) || raw == 255) return static_cast<RTMPSharedObjectType>(raw);
  return std::nullopt;
}

std::optional<RTMPSharedObjectEvent> RTMPSharedObjectEvent::read(AMFSerializer& s) {
  int64_t end = -1;
  try {
    auto type = makeRTMPSharedObjectType(s.readUInt8());
    const uint32_t length = s.readUInt32();
    const int64_t start = s.position();
    end = std::min<int64_t>(start + length, s.length());
    if (!type) {
      s.setPosition(end);
      return std::nullopt;
    }
    RTMPSharedObjectEvent event;
    event.type = *type;
    if (length != 0) {
      event.name = s.readUTF8();
      if (*type == RTMPSharedObjectType::status) event.data = s.readUTF8();
      else if (s.position() - start < static_cast<int64_t>(length)) event.data = s.deserialize();
    }
    // The announced length, not what the body turned out to hold, says where the next event starts.
    s.setPosition(end);
    return event;
  } catch (const std::exception&) {
    if (end >= 0) s.setPosition(end);
    return std::nullopt;
  }
}

void RTMPSharedObjectEvent::serialize(AMFSerializer& s) const {
  s.writeUInt8(static_cast<uint8_t>(type));
  if (!name) {
    s.writeUInt32(0);
    return;
  }
  if (name->size() > 0xFFFF) throw std::length_error("shared-object event name longer than a 16-bit length");
  const int64_t placeholder = s.position();
  s.writeUInt32(0);
  s.writeUTF8(*name);
  s.serialize(data);
  const int64_t end = s.position();
  s.setPosition(placeholder);
  s.writeUInt32(static_cast<uint32_t>(end - placeholder - 4));
  s.setPosition(end);
}

std::string RTMPSharedObjectEvent::debugDescription() const {
  return medley::Mirror::make("RTMPSharedObjectEvent",
                              {{"type", static_cast<int>(type)}, {"name", name}, {"data", data.description()}})
      .debugDescription();
}

}  // namespace rtmpmedley
