#pragma once
// Pictures and a scriptable picture source for the program picture's tests.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Media/PixelBuffer.h"
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
  platform::ColorAttachments tags = platform::ColorAttachments::bt709();
  buffer->setColorAttachments(tags);
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

// A picture source driven by the test: frames and failures are delivered on the
// queue it was started with, as the contract requires.
class ScriptedSource final : public VideoFrameSource {
 public:
  ScriptedSource(std::string id, std::string name, bool fit = false)
      : id_(std::move(id)), name_(std::move(name)), fit_(fit) {}

  std::string sourceID() const override { return id_; }
  std::string displayName() const override { return name_; }
  void start(std::shared_ptr<platform::SerialQueue> queue, FrameHandler onFrame, FailureHandler onFailure) override {
    ++starts;
    queue_ = std::move(queue);
    onFrame_ = std::move(onFrame);
    onFailure_ = std::move(onFailure);
  }
  void stop() override { ++stops; }
  void apply(const StreamConfig& target) override { applied.push_back(target); }
  bool prefersFit() const override { return fit_; }

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
  std::vector<StreamConfig> applied;

 private:
  std::string id_, name_;
  bool fit_;
  std::shared_ptr<platform::SerialQueue> queue_;
  FrameHandler onFrame_;
  FailureHandler onFailure_;
};

}  // namespace quarzadel::testing
