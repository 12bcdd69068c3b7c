#pragma once
// Pictures and sound to record: a moving bar on grey, a stereo sine, both timed
// from a host-clock origin; and a way to wait for work that ends on other threads.
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Concurrency/Task.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace medleytest {

inline constexpr double kOrigin = 1000.0;  // host seconds of the first picture

inline platform::SampleBufferRef recorderPicture(int width, int height, int index, int fps = 30) {
  auto picture = platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  const auto luma = picture->plane(0);
  const int bar = (index * 4) % width;
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) luma.data[row * luma.bytesPerRow + col] = std::abs(col - bar) < 4 ? 220 : 90;
  }
  const auto chroma = picture->plane(1);
  for (int row = 0; row < chroma.height; ++row) {
    for (int col = 0; col < 2 * chroma.width; ++col) chroma.data[row * chroma.bytesPerRow + col] = 128;
  }
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime::fromNanos(platform::seconds(kOrigin) + index * 1'000'000'000LL / fps);
  timing.duration = platform::MediaTime(1, fps);
  return platform::SampleBuffer::makeImage(picture, timing);
}

inline constexpr uint32_t kSoundFrames = 1024;

inline platform::PCMBufferRef recorderSound(int index) {
  auto buffer = platform::PCMBuffer::make(platform::AudioFormat::standard(48000, 2), kSoundFrames);
  buffer->setFrameLength(kSoundFrames);
  for (uint32_t channel = 0; channel < 2; ++channel) {
    for (uint32_t i = 0; i < kSoundFrames; ++i) {
      const double t = static_cast<double>(index * kSoundFrames + i) / 48000;
      buffer->floatChannelData()[channel][i] = static_cast<float>(0.3 * std::sin(2 * M_PI * (440 + 220 * channel) * t));
    }
  }
  return buffer;
}

inline platform::AudioTime recorderSoundTime(int index) {
  const int64_t frames = static_cast<int64_t>(index) * kSoundFrames;
  return platform::AudioTime::with(platform::seconds(kOrigin) + frames * 1'000'000'000LL / 48000, frames, 48000);
}

// Runs a task to its end on virtual time while encoders finish on their own threads.
template <class T>
T finishOn(const std::shared_ptr<platform::VirtualRuntime>& rt, platform::TaskHandle<T> task) {
  while (!task.isFinished()) {
    rt->runUntilIdle();
    if (!task.isFinished()) std::this_thread::yield();
  }
  return task.result();
}

}  // namespace medleytest
