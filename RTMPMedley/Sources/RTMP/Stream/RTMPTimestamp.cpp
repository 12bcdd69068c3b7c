#include "RTMPMedley/Sources/RTMP/Stream/RTMPTimestamp.h"

#include <cmath>

namespace rtmpmedley {

const char* RTMPTimestamp::Error::what() const noexcept {
  return kind_ == Kind::invalidSequence ? "invalidSequence" : "timestamp delta out of range";
}

uint32_t RTMPTimestamp::update(double seconds) {
  if (!started_) {
    if (!std::isfinite(seconds)) throw Error(Error::Kind::invalidSequence);
    started_ = true;
    startedAt_ = seconds;
    updatedAt_ = seconds;
    return 0;
  }
  if (!(seconds > updatedAt_)) throw Error(Error::Kind::invalidSequence);
  double d = (seconds - updatedAt_) * 1000.0;
  double fraction = timedeltaFraction_ + (d - std::trunc(d));
  if (fraction >= 1.0) {
    fraction -= 1.0;
    d += 1.0;
  }
  // Checked before anything changes: a delta the field cannot carry is dropped like a late one.
  if (!std::isfinite(d) || std::trunc(d) >= 4294967296.0) throw Error(Error::Kind::outOfRange);
  timedeltaFraction_ = fraction;
  updatedAt_ = seconds;
  return static_cast<uint32_t>(std::trunc(d));
}

void RTMPTimestamp::receive(uint32_t milliseconds, bool absolute) {
  const double s = milliseconds / 1000.0;
  if (!absolute) {
    updatedAt_ += s;
  } else if (!started_) {
    started_ = true;
    startedAt_ = s;
    updatedAt_ = s;
  } else {
    updatedAt_ = s;
  }
}

}  // namespace rtmpmedley
