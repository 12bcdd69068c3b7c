#pragma once
// A receiver of a stream's media, called from the stream's own context for
// every buffer; identified by object identity.
#include "Platform/Media/AudioBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medley {

class StreamConvertible;

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  virtual void stream(StreamConvertible& stream, const platform::AudioBufferRef& buffer,
                      const platform::AudioTime& when) = 0;
  virtual void stream(StreamConvertible& stream, const platform::SampleBufferRef& sampleBuffer) = 0;
};

}  // namespace medley
