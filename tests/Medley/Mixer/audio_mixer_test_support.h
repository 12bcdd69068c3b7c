#pragma once
// Tones in, mixed sound out: what the mixer tests feed and how they measure it.
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "Medley/Sources/Mixer/AudioMixer.h"
#include "Medley/Sources/Mixer/AudioMixerDelegate.h"
#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Time/AudioTime.h"

namespace mixertest {

using platform::AudioFormat;
using platform::CommonFormat;

// A sine of `amplitude` on every channel, continuing from frame `first`.
inline platform::PCMBufferRef tone(const AudioFormat& format, double hz, double amplitude, int64_t first,
                                   uint32_t frames) {
  auto buffer = platform::PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  const uint32_t channels = format.channelCount();
  for (uint32_t f = 0; f < frames; ++f) {
    const double v =
        amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(first + f) / format.sampleRate());
    for (uint32_t c = 0; c < channels; ++c) {
      const uint32_t b = format.isInterleaved() ? 0 : c;
      const size_t i = format.isInterleaved() ? size_t{f} * channels + c : f;
      switch (format.commonFormat()) {
        case CommonFormat::float32:
          buffer->floatChannelData()[b][i] = static_cast<float>(v);
          break;
        case CommonFormat::int16:
          buffer->int16ChannelData()[b][i] = static_cast<int16_t>(std::lround(v * 32767));
          break;
        case CommonFormat::int32:
          buffer->int32ChannelData()[b][i] = static_cast<int32_t>(std::llround(v * 2147483647.0));
          break;
        default:
          break;
      }
    }
  }
  return buffer;
}

inline platform::PCMBufferRef silence(const AudioFormat& format, uint32_t frames) {
  auto buffer = platform::PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  buffer->zero();
  return buffer;
}

// The amplitude of the `hz` component of the samples (Goertzel over whole periods' worth of samples).
inline double amplitudeAt(const std::vector<float>& samples, double hz, double rate) {
  const double w = 2 * std::numbers::pi * hz / rate;
  const double coefficient = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (float x : samples) {
    const double s0 = x + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

inline float peakOf(const std::vector<float>& samples) {
  float peak = 0;
  for (float x : samples) peak = std::max(peak, std::fabs(x));
  return peak;
}

// Keeps every block a mixer hands out: channel 0's samples and the times.
class Collector final : public medley::AudioMixerDelegate {
 public:
  void audioMixerDidOutput(medley::AudioMixer&, const platform::PCMBuffer& buffer,
                           const platform::AudioTime& when) override {
    times.push_back(when);
    lengths.push_back(buffer.frameLength());
    format = buffer.format();
    const uint32_t stride = buffer.stride();
    for (uint32_t f = 0; f < buffer.frameLength(); ++f) {
      left.push_back(buffer.floatChannelData()[0][size_t{f} * stride]);
      right.push_back(
          stride > 1 ? buffer.floatChannelData()[0][size_t{f} * stride + 1]
                     : (buffer.bufferCount() > 1 ? buffer.floatChannelData()[1][f] : buffer.floatChannelData()[0][f]));
    }
  }
  void audioMixerErrorOccurred(medley::AudioMixer&, const std::string& error) override { errors.push_back(error); }

  // Channel 0 from frame `from` (negative: counted from the end) for `count` frames.
  std::vector<float> window(int64_t from, size_t count) const {
    const size_t start = from >= 0 ? static_cast<size_t>(from) : left.size() - static_cast<size_t>(-from);
    return std::vector<float>(left.begin() + static_cast<std::ptrdiff_t>(start),
                              left.begin() + static_cast<std::ptrdiff_t>(start + count));
  }

  std::vector<platform::AudioTime> times;
  std::vector<uint32_t> lengths;
  std::vector<float> left;
  std::vector<float> right;
  std::vector<std::string> errors;
  AudioFormat format;
};

}  // namespace mixertest
