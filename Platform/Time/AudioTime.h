#pragma once
// A moment of a sound stream: a host time, a sample time at a rate, or both.
#include <cstdint>

#include "Platform/Time/HostClock.h"

namespace platform {

struct AudioTime {
  Nanos hostTime = 0;
  int64_t sampleTime = 0;
  double sampleRate = 0;
  bool hostTimeValid = false;
  bool sampleTimeValid = false;

  static AudioTime withHostTime(Nanos host) { return AudioTime{host, 0, 0, true, false}; }
  static AudioTime withSampleTime(int64_t sample, double rate) { return AudioTime{0, sample, rate, false, true}; }
  static AudioTime with(Nanos host, int64_t sample, double rate) { return AudioTime{host, sample, rate, true, true}; }

  double hostSeconds() const { return toSeconds(hostTime); }
  // Host time of a sample `frames` later, when both the host time and the rate are known.
  AudioTime advanced(int64_t frames) const {
    AudioTime t = *this;
    t.sampleTime += frames;
    if (hostTimeValid && sampleRate > 0) t.hostTime += static_cast<Nanos>(frames * 1e9 / sampleRate);
    return t;
  }
};

}  // namespace platform
