#pragma once
// Sound sources, output collection and measures for the audio codec tests.
#include <cmath>
#include <functional>
#include <vector>

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Medley/Util/virtual_run.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/PCMBuffer.h"

namespace audiotest {

using medley::AudioCodec;
using medley::AudioCodecFormat;
using medley::AudioCodecSettings;
using platform::AudioFormat;
using platform::AudioTime;
using platform::PCMBuffer;

constexpr double kRate = 48000;
const platform::Nanos kStartHost = 5'000'000'000;
inline const AudioFormat kStereo = AudioFormat::standard(kRate, 2);
inline const AudioCodecSettings kPCM(64000, true, std::nullopt, 0, AudioCodecFormat::pcm);

// Reads a codec's output stream on a virtual runtime until it ends.
struct Reader {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  medleytest::Collector<AudioCodec::Output> collector;

  explicit Reader(platform::AsyncStream<AudioCodec::Output> stream) : collector(rt, std::move(stream)) {
    rt->runUntilIdle();
  }
  std::vector<AudioCodec::Output> finish() {
    rt->runUntilIdle();
    EXPECT_TRUE(collector.ended());
    return collector.values();
  }
};

inline std::vector<AudioCodec::Output> readAll(platform::AsyncStream<AudioCodec::Output> stream,
                                               const std::function<void()>& produce) {
  Reader reader(std::move(stream));
  produce();
  return reader.finish();
}

inline AudioCodec& running(AudioCodec& codec, AudioCodecSettings settings) {
  codec.setSettings(settings);
  codec.startRunning();
  return codec;
}

inline AudioTime timeOf(int64_t frame, double rate = kRate, platform::Nanos start = kStartHost) {
  return AudioTime::with(start + static_cast<platform::Nanos>(frame * 1e9 / rate), frame, rate);
}

// `frames` of a sine from absolute frame `first`; with `toneFrom`, silence before that frame.
inline std::shared_ptr<PCMBuffer> sine(const AudioFormat& format, int64_t first, uint32_t frames,
                                       int64_t toneFrom = 0) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  for (uint32_t c = 0; c < format.channelCount(); ++c)
    for (uint32_t i = 0; i < frames; ++i) {
      const int64_t frame = first + i;
      const float v = frame < toneFrom ? 0.f
                                       : static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * double(frame) /
                                                                           format.sampleRate()));
      if (format.isInterleaved()) buffer->floatChannelData()[0][i * format.channelCount() + c] = v;
      else buffer->floatChannelData()[c][i] = v;
    }
  return buffer;
}

inline void feedSine(AudioCodec& codec, const AudioFormat& format, uint32_t total, uint32_t chunk,
                     platform::Nanos start = kStartHost, int64_t toneFrom = 0) {
  for (uint32_t at = 0; at < total; at += chunk) {
    const uint32_t n = std::min(chunk, total - at);
    codec.append(sine(format, at, n, toneFrom), timeOf(at, format.sampleRate(), start));
  }
}

// Channel 0 of every PCM output, end to end.
inline std::vector<float> channelZero(const std::vector<AudioCodec::Output>& outputs) {
  std::vector<float> all;
  for (const auto& [buffer, time] : outputs) {
    auto pcm = std::dynamic_pointer_cast<PCMBuffer>(buffer);
    if (!pcm) continue;
    for (uint32_t i = 0; i < pcm->frameLength(); ++i) all.push_back(pcm->floatChannelData()[0][i * pcm->stride()]);
  }
  return all;
}

// Decodes packets timed back to back from zero.
inline std::vector<AudioCodec::Output> decode(const std::vector<AudioCodec::Output>& packets, bool drain = false) {
  AudioCodec decoder;
  running(decoder, kPCM);
  return readAll(decoder.outputStream(), [&] {
    int64_t position = 0;
    for (const auto& [buffer, time] : packets) {
      decoder.append(buffer, AudioTime::withSampleTime(position, kRate));
      position += 1024;
    }
    if (drain) decoder.drain();
    decoder.stopRunning();
  });
}

// The best normalised correlation of `decoded` against the reference sine,
// over the lags a codec delay may introduce.
inline double bestCorrelation(const std::vector<float>& decoded, double rate) {
  double best = 0;
  const size_t window = 9600;
  for (size_t lag = 0; lag < 4096 && lag + window + 4800 < decoded.size() + 1; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = 0; i < window; ++i) {
      const double x = decoded[lag + 4800 + i];
      const double y = 0.5 * std::sin(2 * M_PI * 1000 * double(4800 + i) / rate);
      xy += x * y;
      xx += x * x;
      yy += y * y;
    }
    if (xx > 0 && yy > 0) best = std::max(best, xy / std::sqrt(xx * yy));
  }
  return best;
}

inline double rms(const std::vector<float>& samples, size_t from, size_t to) {
  if (to > samples.size() || from >= to) return 0;
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / double(to - from));
}

}  // namespace audiotest
