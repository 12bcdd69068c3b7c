#pragma once
// Synthetic pictures and sound for the outgoing stream tests.
#include <cmath>
#include <cstdint>
#include <memory>

#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medleytest {

// A grey picture with a bright bar that moves with `frame`.
inline platform::SampleBufferRef makeVideoFrame(int width, int height, int frame, int fps = 30) {
  auto picture = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  const auto luma = picture->plane(0);
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      const bool bar = (col + 4 * frame) % width < width / 8;
      luma.data[row * luma.bytesPerRow + col] = static_cast<uint8_t>(bar ? 220 : 60 + (row + col) % 64);
    }
  }
  const auto chroma = picture->plane(1);
  for (int row = 0; row < chroma.height; ++row) {
    for (int col = 0; col < chroma.width * 2; ++col) chroma.data[row * chroma.bytesPerRow + col] = 128;
  }
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime(frame, fps);
  timing.duration = platform::MediaTime(1, fps);
  return platform::SampleBuffer::makeImage(picture, timing);
}

// 1024 frames of a 440 Hz sine, 48 kHz stereo float, the `index`-th such block.
inline platform::PCMBufferRef makeSoundBlock(int64_t index) {
  const platform::AudioFormat format = platform::AudioFormat::standard(48000, 2);
  auto buffer = platform::PCMBuffer::make(format, 1024);
  buffer->setFrameLength(1024);
  for (uint32_t c = 0; c < 2; ++c) {
    for (uint32_t i = 0; i < 1024; ++i) {
      const double t = static_cast<double>(index * 1024 + i) / 48000.0;
      buffer->floatChannelData()[c][i] = static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * t));
    }
  }
  return buffer;
}

inline platform::AudioTime soundBlockTime(int64_t index, platform::Nanos start = 5'000'000'000) {
  return platform::AudioTime::with(start + index * 1024 * 1'000'000'000LL / 48000, index * 1024, 48000);
}

}  // namespace medleytest
