#pragma once
// Pictures, sound buffers and scriptable sources for the program's tests, and what
// a pipeline wrote to the logs.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Time/AudioTime.h"
#include "Quarzadel/Log/LogTestSupport.h"
#include "Quarzadel/Program/AudioFrameSource.h"
#include "Quarzadel/Program/NV12Frame.h"
#include "Quarzadel/Program/VideoFrameSource.h"

namespace quarzadel::testing {

// A BT.709 video-range picture of one colour.
inline platform::PixelBufferRef flatPicture(int width, int height, YCbCr c,
                                            platform::PixelFormat format = platform::PixelFormat::nv12VideoRange) {
  auto buffer = platform::PixelBuffer::make(width, height, format);
  const NV12Frame f = NV12Frame::of(*buffer);
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) f.y[y * f.strideY + x] = c.y;
  for (int y = 0; y < f.chromaHeight(); ++y)
    for (int x = 0; x < f.chromaWidth(); ++x) {
      f.uv[y * f.strideUV + 2 * x] = c.cb;
      f.uv[y * f.strideUV + 2 * x + 1] = c.cr;
    }
  buffer->setColorAttachments(platform::ColorAttachments::bt709());
  return buffer;
}

inline uint8_t lumaAt(const platform::PixelBuffer& b, int x, int y) {
  const auto p = b.plane(0);
  return p.data[y * p.bytesPerRow + x];
}

inline YCbCr colorAt(const platform::PixelBuffer& b, int x, int y) {
  const auto c = b.plane(1);
  const uint8_t* pair = c.data + (y / 2) * c.bytesPerRow + (x / 2) * 2;
  return {lumaAt(b, x, y), pair[0], pair[1]};
}

// Both planes of two pictures of one size are equal, sample for sample.
inline bool samePicture(const platform::PixelBuffer& a, const platform::PixelBuffer& b) {
  const NV12Frame fa = NV12Frame::of(a), fb = NV12Frame::of(b);
  for (int y = 0; y < fa.height; ++y)
    if (std::memcmp(fa.y + y * fa.strideY, fb.y + y * fb.strideY, fa.width) != 0) return false;
  for (int y = 0; y < fa.chromaHeight(); ++y)
    if (std::memcmp(fa.uv + y * fa.strideUV, fb.uv + y * fb.strideUV, fa.chromaWidth() * 2) != 0) return false;
  return true;
}

// A picture source driven by the test: frames and failures are delivered on the
// queue it was started with, as the contract requires.
class ScriptedSource final : public VideoFrameSource {
 public:
  ScriptedSource(std::string id, std::string name) : id_(std::move(id)), name_(std::move(name)) {}

  std::string sourceID() const override { return id_; }
  std::string displayName() const override { return name_; }
  void start(std::shared_ptr<platform::SerialQueue> queue, FrameHandler onFrame, FailureHandler onFailure) override {
    ++starts;
    queue_ = std::move(queue);
    onFrame_ = std::move(onFrame);
    onFailure_ = std::move(onFailure);
  }
  void stop() override { ++stops; }
  void apply(const StreamConfig&) override {}
  bool prefersFit() const override { return false; }

  // Sends a frame of one luma level (neutral chroma), stamped `pts`.
  void frame(double pts, uint8_t luma = 128, int width = 64, int height = 36) {
    auto picture = flatPicture(width, height, {luma, 128, 128});
    sent.push_back(pts);
    queue_->async([handler = onFrame_, picture, pts] { handler(picture, pts); });
  }
  void fail(const std::string& reason) {
    queue_->async([handler = onFailure_, reason] { handler(reason); });
  }

  int starts = 0;
  int stops = 0;
  std::vector<double> sent;  // stamps of the frames sent

 private:
  std::string id_, name_;
  std::shared_ptr<platform::SerialQueue> queue_;
  FrameHandler onFrame_;
  FailureHandler onFailure_;
};

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
    const auto l = channel(0), r = channel(1);
    return std::all_of(l.begin(), l.end(), [](float x) { return x == 0; }) &&
           std::all_of(r.begin(), r.end(), [](float x) { return x == 0; });
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
