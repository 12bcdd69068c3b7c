#pragma once
// Capture from one sound input as 48 kHz 32-bit float, non-interleaved, one or two
// channels. Buffers and the end of a capture are reported on the capture's own
// thread; the receiver hands them on.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "Platform/Media/PCMBuffer.h"

namespace platform {

// Why an input could not be opened or stopped delivering.
struct AudioCaptureFailure {
  enum class Kind {
    notAuthorized,  // the system refuses this application the input
    cannotOpen,     // the input can't be opened (description says why)
    inputRefused,   // the input exists but is taken or unusable now
    outputRefused,  // no stream of the wanted format can be had
    runtimeError,   // delivery stopped (description says why)
    disconnected,   // the input went away
  };
  Kind kind;
  std::string description;
};

class AudioCaptureError : public std::runtime_error {
 public:
  explicit AudioCaptureError(AudioCaptureFailure failure)
      : std::runtime_error(failure.description), failure_(std::move(failure)) {}
  const AudioCaptureFailure& failure() const { return failure_; }

 private:
  AudioCaptureFailure failure_;
};

class AudioCaptureSession {
 public:
  virtual ~AudioCaptureSession() = default;
  virtual uint32_t channels() const = 0;
  // No buffer and no failure after it returns.
  virtual void stop() = 0;
};

class AudioCapture {
 public:
  static constexpr double kSampleRate = 48000;
  struct Handlers {
    // The buffer and the host-clock seconds of its first sample.
    std::function<void(std::shared_ptr<PCMBuffer> buffer, double hostSeconds)> onBuffer;
    // At most once per session.
    std::function<void(const AudioCaptureFailure& failure)> onFailure;
  };
  virtual ~AudioCapture() = default;
  // Opens the input and starts delivering. Throws AudioCaptureError.
  virtual std::unique_ptr<AudioCaptureSession> open(const std::string& deviceID, Handlers handlers) = 0;
  // Throws what open() would when the input cannot be opened now; by default
  // it opens the input and closes it again.
  virtual void check(const std::string& deviceID) {
    if (auto session = open(deviceID, {})) session->stop();
  }
};

}  // namespace platform
