#pragma once
// The answer to a command: the status made from its first argument (when it
// is an object or an ECMA array) and its arguments.
#include <optional>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"
#include "RTMPMedley/Sources/RTMP/Message/RTMPCommandMessage.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPStatus.h"

namespace rtmpmedley {

struct RTMPResponse {
  std::optional<RTMPStatus> status;
  AMFList arguments;

  RTMPResponse() = default;
  explicit RTMPResponse(const RTMPCommandMessage& message);
};

}  // namespace rtmpmedley
