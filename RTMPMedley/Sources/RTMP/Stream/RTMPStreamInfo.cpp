#include "RTMPMedley/Sources/RTMP/Stream/RTMPStreamInfo.h"

#include <limits>

namespace rtmpmedley {

void RTMPStreamInfo::add(int64_t bytes) {
  if (bytes <= 0) return;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  byteCount = byteCount > kMax - bytes ? kMax : byteCount + bytes;
}

void RTMPStreamInfo::rollOver() {
  // byteCount never shrinks, so the difference is never negative nor overflows.
  currentBytesPerSecond = byteCount >= previousByteCount ? byteCount - previousByteCount : 0;
  previousByteCount = byteCount;
}

std::string RTMPStreamInfo::debugDescription() const {
  return "RTMPStreamInfo{byteCount: " + std::to_string(byteCount) +
         ",resourceName: " + (resourceName ? *resourceName : std::string("nil")) +
         ",currentBytesPerSecond: " + std::to_string(currentBytesPerSecond) +
         ",previousByteCount: " + std::to_string(previousByteCount) + "}";
}

}  // namespace rtmpmedley
