#pragma once
// Error line of a received AMF payload that could not be read.
#include <exception>

#include "RTMPMedley/Sources/RTMP/Util/RTMPMedleyLogger.h"

namespace rtmpmedley::detail {

inline void logUnreadablePayload(const std::exception& error, const char* file, int line) {
  auto& log = logger();
  if (log.isEnabledFor(logwell::LWLogLevel::error)) log.error({error.what()}, file, "init(_:objectEncoding:)", line);
}

}  // namespace rtmpmedley::detail
