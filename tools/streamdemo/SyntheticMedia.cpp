#include "SyntheticMedia.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "Platform/Media/PixelBuffer.h"

namespace streamdemo {

platform::SampleBufferRef makePicture(int width, int height, int64_t index, int fps) {
  auto picture = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  if (!picture) return nullptr;
  const auto luma = picture->plane(0);
  const int barX = static_cast<int>((index * 8) % width);
  const int side = std::max(8, height / 6);
  const int span = std::max(1, height - side);
  const int bounce = static_cast<int>((index * 5) % (2 * span));
  const int squareY = bounce < span ? bounce : 2 * span - bounce;
  const int squareX = width / 2 - side / 2;
  for (int row = 0; row < height; ++row) {
    uint8_t* line = luma.data + row * luma.bytesPerRow;
    for (int col = 0; col < width; ++col) {
      int value = 40 + (row + col) * 120 / (width + height);
      if (std::abs(col - barX) < width / 40) value = 200;
      if (col >= squareX && col < squareX + side && row >= squareY && row < squareY + side) value = 235;
      line[col] = static_cast<uint8_t>(value);
    }
  }
  const auto chroma = picture->plane(1);
  for (int row = 0; row < chroma.height; ++row) {
    uint8_t* line = chroma.data + row * chroma.bytesPerRow;
    for (int col = 0; col < chroma.width; ++col) {
      line[2 * col] = static_cast<uint8_t>(128 + 60 * col / std::max(1, chroma.width) - 30);
      line[2 * col + 1] = static_cast<uint8_t>(128 + 60 * row / std::max(1, chroma.height) - 30);
    }
  }
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime(index + 1, fps);
  timing.duration = platform::MediaTime(1, fps);
  return platform::SampleBuffer::makeImage(picture, timing);
}

platform::PCMBufferRef makeSound(int64_t index) {
  const auto format = platform::AudioFormat::standard(48000, 2);
  auto buffer = platform::PCMBuffer::make(format, kSoundBlockFrames);
  if (!buffer) return nullptr;
  buffer->setFrameLength(kSoundBlockFrames);
  const double frequencies[2] = {440, 660};
  for (uint32_t channel = 0; channel < 2; ++channel) {
    float* samples = buffer->floatChannelData()[channel];
    for (uint32_t i = 0; i < kSoundBlockFrames; ++i) {
      const double t = static_cast<double>(index * kSoundBlockFrames + i) / 48000.0;
      samples[i] = static_cast<float>(0.25 * std::sin(2 * M_PI * frequencies[channel] * t));
    }
  }
  return buffer;
}

platform::AudioTime soundTime(int64_t index, platform::Nanos origin) {
  const int64_t frames = index * kSoundBlockFrames;
  return platform::AudioTime::with(origin + frames * 1'000'000'000LL / 48000, frames, 48000);
}

}  // namespace streamdemo
