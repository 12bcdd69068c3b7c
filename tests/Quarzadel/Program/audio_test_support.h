#pragma once
// Buffers and a scriptable sound source for the program sound's tests.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Time/AudioTime.h"
#include "Quarzadel/Program/AudioFrameSource.h"

namespace quarzadel::testing {

// A planar float buffer whose channel c holds `fill(c, i)` at frame i.
template <class F>
platform::PCMBufferRef makeBuffer(double rate, uint32_t channels, uint32_t frames, F fill) {
  auto b = platform::PCMBuffer::make(platform::AudioFormat::standard(rate, channels), frames);
  b->setFrameLength(frames);
  for (uint32_t c = 0; c < channels; ++c)
    for (uint32_t i = 0; i < frames; ++i) b->floatChannelData()[c][i] = fill(c, i);
  return b;
}

inline platform::PCMBufferRef constantBuffer(uint32_t frames, float value, double rate = 48000,
                                             uint32_t channels = 2) {
  return makeBuffer(rate, channels, frames, [value](uint32_t, uint32_t) { return value; });
}

// Frame i of the buffer carries the value `first + i` on both channels: shows
// exactly which input frames were kept, cut or repeated.
inline platform::PCMBufferRef rampBuffer(uint32_t frames, float first = 1) {
  return makeBuffer(48000, 2, frames, [first](uint32_t, uint32_t i) { return first + static_cast<float>(i); });
}

struct Emitted {
  platform::PCMBufferRef buffer;
  platform::AudioTime time;
};

// Everything the program sound handed on, joined into one stream.
struct OutputLog {
  std::vector<Emitted> buffers;

  void operator()(const platform::PCMBufferRef& b, const platform::AudioTime& t) { buffers.push_back({b, t}); }
  int64_t frames() const {
    int64_t n = 0;
    for (const auto& e : buffers) n += e.buffer->frameLength();
    return n;
  }
  std::vector<float> channel(uint32_t c) const {
    std::vector<float> out;
    for (const auto& e : buffers)
      out.insert(out.end(), e.buffer->floatChannelData()[c], e.buffer->floatChannelData()[c] + e.buffer->frameLength());
    return out;
  }
  bool allZero() const {
    for (uint32_t c = 0; c < 2; ++c)
      for (float x : channel(c))
        if (x != 0) return false;
    return true;
  }
};

// A sound source the test drives by hand; it records what the pipeline did to it.
class FakeAudioSource final : public AudioFrameSource {
 public:
  FakeAudioSource(std::string id, std::string name) : id_(std::move(id)), name_(std::move(name)) {}

  std::string sourceID() const override { return id_; }
  std::string displayName() const override { return name_; }
  void start(std::shared_ptr<platform::SerialQueue> queue, BufferHandler onBuffer, FailureHandler onFailure) override {
    ++starts;
    queue_ = std::move(queue);
    onBuffer_ = std::move(onBuffer);
    onFailure_ = std::move(onFailure);
  }
  void stop() override { ++stops; }

  // Delivers on the pipeline's queue, as a real source does.
  void deliver(platform::PCMBufferRef buffer, double hostSeconds) {
    queue_->async([this, buffer, hostSeconds] { onBuffer_(buffer, hostSeconds); });
  }
  void fail(std::string reason) {
    queue_->async([this, reason] { onFailure_(reason); });
  }

  int starts = 0;
  int stops = 0;

 private:
  std::string id_;
  std::string name_;
  std::shared_ptr<platform::SerialQueue> queue_;
  BufferHandler onBuffer_;
  FailureHandler onFailure_;
};

}  // namespace quarzadel::testing
