#pragma once
// Capture from a sound server's source: a record stream of 48 kHz float32 with the
// source's channels (at most two), in 10 ms fragments, pinned to its source so
// that the source going away ends it instead of moving it elsewhere.
#include <memory>

#include "Platform/Audio/AudioCapture.h"
#include "Platform/Audio/PulseAudioContext.h"

namespace platform {

class PulseAudioCapture final : public AudioCapture {
 public:
  explicit PulseAudioCapture(std::shared_ptr<PulseAudioContext> context);
  std::unique_ptr<AudioCaptureSession> open(const std::string& sourceName, Handlers handlers) override;

 private:
  std::shared_ptr<PulseAudioContext> context_;
};

}  // namespace platform
