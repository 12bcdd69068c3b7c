#pragma once
// One event of a shared-object message: its type, an optional property name
// and an optional value. On the wire: type byte, UInt32 length of what
// follows, then (when named) the name and one AMF value.
#include <cstdint>
#include <optional>
#include <string>

#include "RTMPMedley/Sources/RTMP/AMF/AMFSerializer.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"

namespace rtmpmedley {

enum class RTMPSharedObjectType : uint8_t {
  use = 1,
  release = 2,
  requestChange = 3,
  change = 4,
  success = 5,
  sendMessage = 6,
  status = 7,
  clear = 8,
  remove = 9,
  requestRemove = 10,
  useSuccess = 11,
  unknown = 255,
};

std::optional<RTMPSharedObjectType> makeRTMPSharedObjectType(uint8_t rawValue);

struct RTMPSharedObjectEvent {
  RTMPSharedObjectType type = RTMPSharedObjectType::unknown;
  std::optional<std::string> name;
  AMFValue data;

  // One event at the serializer's position; none when the bytes do not form
  // one. The position then lies after the event's announced length (within the payload).
  static std::optional<RTMPSharedObjectEvent> read(AMFSerializer& serializer);

  // Writes the event; a name of 65536 bytes or more throws std::length_error.
  void serialize(AMFSerializer& serializer) const;

  std::string debugDescription() const;
  friend bool operator==(const RTMPSharedObjectEvent&, const RTMPSharedObjectEvent&) = default;
};

}  // namespace rtmpmedley
