#pragma once
// The receiver of a mixer's output: PCM buffers in the mixer's output format,
// each with the time of its first frame. Called synchronously on the thread
// that fed the mixer; the buffer is the mixer's own and is overwritten by the
// next block, so a receiver that keeps it copies it.
#include <string>

#include "Platform/Media/PCMBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class AudioMixer;

class AudioMixerDelegate {
 public:
  virtual ~AudioMixerDelegate() = default;
  virtual void audioMixerDidOutput(AudioMixer& mixer, const platform::PCMBuffer& buffer,
                                   const platform::AudioTime& when) = 0;
  // A failure inside the mixer (set-up, rendering); the block concerned was dropped.
  virtual void audioMixerErrorOccurred(AudioMixer& mixer, const std::string& error) {}
};

}  // namespace medley
