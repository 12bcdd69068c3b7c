#pragma once
// Common base of sound buffers: PCMBuffer (samples) and CompressedAudioBuffer
// (encoded packets). Passed as shared_ptr; tell the kinds apart with
// std::dynamic_pointer_cast. Like pictures, a buffer belongs to its writer
// until handed on, and is read-only afterwards.
#include <memory>

#include "Platform/Media/AudioFormat.h"

namespace platform {

class AudioBuffer {
 public:
  explicit AudioBuffer(AudioFormat format) : format_(std::move(format)) {}
  virtual ~AudioBuffer() = default;
  AudioBuffer(const AudioBuffer&) = delete;
  AudioBuffer& operator=(const AudioBuffer&) = delete;

  const AudioFormat& format() const { return format_; }

 private:
  AudioFormat format_;
};

using AudioBufferRef = std::shared_ptr<AudioBuffer>;

}  // namespace platform
