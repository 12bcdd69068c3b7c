#pragma once
// Program pictures carry their sources' own times, which jitter by a
// millisecond or more on a loaded machine; the stream's millisecond times then
// wander off the frame rate and readers of the ingest guess odd rates. Each
// picture takes the free slot of the rate's grid nearest its time, counted from
// the first picture, so times stay within half a frame of the sound's. One
// grid per stream; called from one queue at a time.
#include <cstdint>

#include "Platform/Media/SampleBuffer.h"

namespace quarzadel {

class FrameGrid {
 public:
  explicit FrameGrid(double rate) : rate_(rate > 0 ? rate : 30) {}
  platform::SampleBufferRef place(const platform::SampleBufferRef& frame);

 private:
  double rate_;
  double origin_ = 0;
  int64_t lastSlot_ = -1;
};

}  // namespace quarzadel
