#include "Medley/Sources/Util/FrameTracker.h"

namespace medley {

void FrameTracker::update(const platform::MediaTime& presentationTime) {
  count += 1;
  if (!presentationTime.isNumeric()) return;
  if (presentationTime.seconds() - rotated.seconds() >= 1.0) {
    rotated = presentationTime;
    frameRate = count;
    count = 0;
  }
}

void FrameTracker::clear() {
  count = 0;
  rotated = platform::MediaTime::zero();
}

}  // namespace medley
