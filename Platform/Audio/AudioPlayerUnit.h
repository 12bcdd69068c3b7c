#pragma once
// One playback voice of an audio output: connected with a PCM format, fed with
// buffers that play back to back, started and stopped. Its play position (frames
// heard since play()) is the clock pictures follow. Thread-safe; completions run
// on the output's own thread or queue and must not call back into the unit
// synchronously with a lock of their own held.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"

namespace platform {

class AudioOutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AudioPlayerUnit {
 public:
  using Completion = std::function<void()>;

  virtual ~AudioPlayerUnit() = default;

  // Opens the voice for `format` (a new format reopens it, dropping what was
  // scheduled). Throws AudioOutputError when the output refuses.
  virtual void connect(const AudioFormat& format) = 0;
  // Closes the voice; scheduled buffers are dropped (their completions run).
  virtual void disconnect() = 0;
  virtual bool isConnected() const = 0;
  virtual std::optional<AudioFormat> format() const = 0;

  // Queues a buffer of the connected format after the ones already queued.
  // `completion` runs once it was played, or dropped by stop or disconnect.
  // A buffer of another format, or one given while disconnected, is dropped.
  virtual void scheduleBuffer(std::shared_ptr<const PCMBuffer> buffer, Completion completion) = 0;

  virtual void play() = 0;
  // Stops, drops what is scheduled and sets the position back to 0.
  virtual void stop() = 0;
  virtual bool isPlaying() const = 0;
  // Frames played since play(); none while not playing.
  virtual std::optional<int64_t> playedFrames() const = 0;

  // 0…1, and -1 (left) … 1 (right).
  virtual void setVolume(float volume) = 0;
  virtual void setPan(float pan) = 0;
};

}  // namespace platform
