#include "Quarzadel/Program/AudioLevel.h"

#include <algorithm>
#include <cmath>

namespace quarzadel {

float meterPosition(float amplitude) {
  const float db = 20.0f * std::log10(std::max(amplitude, 1e-7f));
  if (!std::isfinite(db)) return 0;
  const float position = std::min((db + 60.0f) / 60.0f, 1.0f);
  // NaN fails every comparison: it lands here too.
  return position > 0 ? position : 0.0f;
}

}  // namespace quarzadel
