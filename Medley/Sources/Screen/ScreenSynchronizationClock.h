#pragma once
// A media clock that is not the host clock (a capture session's), with the
// conversions the compositor needs between the two.
#include "Platform/Time/MediaTime.h"

namespace medley {

class ScreenSynchronizationClock {
 public:
  virtual ~ScreenSynchronizationClock() = default;
  virtual platform::MediaTime hostTimeFromClockTime(const platform::MediaTime& t) const = 0;
  virtual platform::MediaTime clockTimeFromHostTime(const platform::MediaTime& t) const = 0;
};

}  // namespace medley
