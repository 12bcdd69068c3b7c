#include "SmokeMedia.h"

#include <cmath>

#include "Platform/Media/PixelBuffer.h"

namespace rtmpsmoke {

platform::SampleBufferRef makePicture(int width, int height, int64_t index, int fps) {
  auto picture = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  if (!picture) return nullptr;
  static constexpr uint8_t kBars[8][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                                          {106, 202, 222}, {81, 90, 240}, {41, 240, 110}, {16, 128, 128}};
  const int shift = static_cast<int>(index % width);
  const int side = height / 5;
  const int squareX = static_cast<int>((index * 6) % (width - side));
  const int squareY = height / 2 - side / 2;
  const auto luma = picture->plane(0);
  for (int row = 0; row < height; ++row) {
    uint8_t* line = luma.data + row * luma.bytesPerRow;
    for (int col = 0; col < width; ++col) {
      const int bar = ((col + shift) % width) * 8 / width;
      const bool square = col >= squareX && col < squareX + side && row >= squareY && row < squareY + side;
      line[col] = square ? 128 : kBars[bar][0];
    }
  }
  const auto chroma = picture->plane(1);
  for (int row = 0; row < chroma.height; ++row) {
    uint8_t* line = chroma.data + row * chroma.bytesPerRow;
    for (int col = 0; col < chroma.width; ++col) {
      const int bar = ((2 * col + shift) % width) * 8 / width;
      line[2 * col] = kBars[bar][1];
      line[2 * col + 1] = kBars[bar][2];
    }
  }
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime(index, fps);
  timing.duration = platform::MediaTime(1, fps);
  return platform::SampleBuffer::makeImage(picture, timing);
}

platform::PCMBufferRef makeSound(int64_t index) {
  auto buffer = platform::PCMBuffer::make(platform::AudioFormat::standard(kSoundRate, 2), kSoundBlockFrames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(kSoundBlockFrames);
  const double frequencies[2] = {440, 660};
  for (uint32_t channel = 0; channel < 2; ++channel) {
    float* samples = buffer->floatChannelData()[channel];
    for (uint32_t i = 0; i < kSoundBlockFrames; ++i) {
      const int64_t frame = index * kSoundBlockFrames + i;
      const double t = static_cast<double>(frame) / kSoundRate;
      const bool click = frame % kSoundRate < kSoundRate / 100;
      samples[i] = static_cast<float>(click ? 0.8 : 0.25 * std::sin(2 * M_PI * frequencies[channel] * t));
    }
  }
  return buffer;
}

platform::AudioTime soundTime(int64_t index) {
  const int64_t frames = index * kSoundBlockFrames;
  return platform::AudioTime::with(frames * 1'000'000'000LL / kSoundRate, frames, kSoundRate);
}

}  // namespace rtmpsmoke
