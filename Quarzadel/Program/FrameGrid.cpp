#include "Quarzadel/Program/FrameGrid.h"

#include <algorithm>
#include <cmath>

namespace quarzadel {

platform::SampleBufferRef FrameGrid::place(const platform::SampleBufferRef& frame) {
  if (!frame || !frame->presentationTime().isNumeric()) return frame;
  const double t = frame->presentationTime().seconds();
  if (lastSlot_ < 0) origin_ = t;
  const int64_t slot = std::max<int64_t>(std::llround((t - origin_) * rate_), lastSlot_ + 1);
  lastSlot_ = slot;
  platform::SampleTiming timing = frame->timing();
  timing.presentationTime = platform::MediaTime::fromSeconds(origin_ + static_cast<double>(slot) / rate_, 1000000000);
  timing.decodeTime = platform::MediaTime::invalid();
  timing.duration = platform::MediaTime::fromSeconds(1.0 / rate_, 1000000000);
  return frame->withTiming(timing);
}

}  // namespace quarzadel
