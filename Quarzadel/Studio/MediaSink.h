#pragma once
// Receiver of the program media that pass the media gate.
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace quarzadel {

class MediaSink {
 public:
  virtual ~MediaSink() = default;
  virtual void append(const platform::SampleBufferRef& video) = 0;
  virtual void append(const platform::PCMBufferRef& audio, const platform::AudioTime& when) = 0;
};

}  // namespace quarzadel
