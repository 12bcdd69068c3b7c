#include "RTMPMedley/Sources/RTMP/AMF/AMFSerializer.h"

#include <algorithm>

namespace rtmpmedley {

AMFSerializer::DepthGuard::DepthGuard(AMFSerializer& s) : s_(s) {
  if (s_.depth_ >= kMaxDepth) throw AMFSerializerError(AMFSerializerError::Kind::deserialize);
  ++s_.depth_;
}

uint64_t AMFSerializer::budget() const {
  return std::max<uint64_t>(1u << 20, 8 * static_cast<uint64_t>(std::max<int64_t>(length(), 0)));
}

uint64_t AMFSerializer::remainingExpansion() const {
  return expansion_ >= budget() ? 0 : budget() - expansion_;
}

void AMFSerializer::chargeExpansion(uint64_t bytes) {
  expansion_ += bytes;
  if (expansion_ > budget()) throw AMFSerializerError(AMFSerializerError::Kind::deserialize);
}

}  // namespace rtmpmedley
