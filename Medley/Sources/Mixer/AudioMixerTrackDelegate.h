#pragma once
// What an audio mixer track calls back on the mixer that owns it.
#include <string>

#include "Platform/Media/PCMBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class AudioMixerTrack;

class AudioMixerTrackDelegate {
 public:
  virtual ~AudioMixerTrackDelegate() = default;
  // A converted block in the mixer's output format, muted when the track is.
  virtual void trackDidOutput(AudioMixerTrack& track, const platform::PCMBuffer& buffer,
                              const platform::AudioTime& when) = 0;
  virtual void trackErrorOccurred(AudioMixerTrack& track, const std::string& error) {}
};

}  // namespace medley
