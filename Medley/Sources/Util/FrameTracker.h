#pragma once
// Counts the frames shown per second of presentation time.
#include "Platform/Time/MediaTime.h"

namespace medley {

struct FrameTracker {
  // Frames counted in the last completed period.
  int frameRate = 0;
  // Frames since the period began.
  int count = 0;
  // Start of the period.
  platform::MediaTime rotated = platform::MediaTime::zero();

  // One shown frame at `presentationTime`; a second or more after the
  // period's start, the period closes.
  void update(const platform::MediaTime& presentationTime);
  // Starts over; the last frame rate stays.
  void clear();
};

}  // namespace medley
