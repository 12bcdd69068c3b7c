#include "RTMPMedley/Sources/Codec/OpusHead.h"

#include <cmath>

namespace rtmpmedley {

std::optional<medley::Data> makeOpusHead(int channelCount, double sampleRate) {
  if (channelCount < 0 || channelCount > 255) return std::nullopt;
  if (!std::isfinite(sampleRate) || sampleRate <= -1.0 || sampleRate >= 4294967296.0) return std::nullopt;
  const uint32_t rate = static_cast<uint32_t>(std::trunc(sampleRate));
  medley::Data out = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, static_cast<uint8_t>(channelCount), 0, 0};
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(rate >> (8 * i)));
  out.insert(out.end(), {0, 0, 0});
  return out;
}

}  // namespace rtmpmedley
