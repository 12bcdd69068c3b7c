#pragma once
// A status object received in "onStatus" or a command result: its code,
// level, description and the whole object.
#include <optional>
#include <string>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"

namespace rtmpmedley {

struct RTMPStatus {
  std::string code;
  std::string level;
  std::string description;
  std::optional<AMFObject> data;

  // None for an absent or empty object, or one whose "code" is not a text;
  // a missing "level" or "description" reads as empty.
  static std::optional<RTMPStatus> make(const std::optional<AMFObject>& object);
  static std::optional<RTMPStatus> make(const AMFObject* object);
  // From an object, a typed object or an ECMA array (some servers send their
  // information object as one: its named part is the object); none for other kinds.
  static std::optional<RTMPStatus> make(const AMFValue& value);
};

}  // namespace rtmpmedley
