#pragma once
// The receiver of a video mixer's inputs (every buffer, by track) and of its
// mixed picture (the buffers it forwards). Called on the thread that fed the mixer.
#include <cstdint>

#include "Platform/Media/SampleBuffer.h"

namespace medley {

class VideoMixer;

class VideoMixerDelegate {
 public:
  virtual ~VideoMixerDelegate() = default;
  virtual void videoMixerDidInput(VideoMixer& mixer, uint8_t track, const platform::SampleBufferRef& sampleBuffer) = 0;
  virtual void videoMixerDidOutput(VideoMixer& mixer, const platform::SampleBufferRef& sampleBuffer) = 0;
};

}  // namespace medley
