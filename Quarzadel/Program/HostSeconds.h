#pragma once
// The one time base of every picture and sound source: host-clock seconds.
#include "Platform/Time/HostClock.h"
#include "Platform/Time/MediaTime.h"

namespace quarzadel {

// A capture sample's presentation time in host-clock seconds. `clock` is the
// clock the time was taken on (absent: already host time); an invalid time
// yields host now.
double hostSeconds(const platform::MediaTime& time, const platform::Clock* clock, const platform::Clock& host);

}  // namespace quarzadel
