#include "RTMPMedley/Sources/RTMP/Connection/RTMPResponse.h"

namespace rtmpmedley {

RTMPResponse::RTMPResponse(const RTMPCommandMessage& message) : arguments(message.arguments) {
  if (!arguments.empty()) status = RTMPStatus::make(arguments.front());
}

}  // namespace rtmpmedley
