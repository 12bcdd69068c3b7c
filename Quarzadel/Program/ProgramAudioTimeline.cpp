#include "Quarzadel/Program/ProgramAudioTimeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quarzadel {

namespace {

// Nearest integer, halves away from zero.
int64_t nearest(double x) { return std::llround(x); }

// Channel `c` of a planar float buffer; a mono buffer serves both channels.
const float* channel(const platform::PCMBuffer& buffer, uint32_t c) {
  float* const* data = buffer.floatChannelData();
  if (data == nullptr || buffer.bufferCount() == 0) return nullptr;
  return data[std::min(c, buffer.bufferCount() - 1)];
}

}  // namespace

const platform::AudioFormat& ProgramAudioTimeline::outputFormat() {
  static const platform::AudioFormat format = platform::AudioFormat::standard(kSampleRate, 2);
  return format;
}

std::optional<double> ProgramAudioTimeline::endHost() const {
  if (!anchorHost_) return std::nullopt;
  return *anchorHost_ + static_cast<double>(emittedSamples_) / kSampleRate;
}

void ProgramAudioTimeline::setAnchor(double hostSeconds) {
  if (anchorHost_) return;
  anchorHost_ = hostSeconds;
  anchorSample_ = nearest(hostSeconds * kSampleRate);
  emittedSamples_ = 0;
}

void ProgramAudioTimeline::place(const platform::PCMBuffer& buffer, double hostSeconds) {
  int64_t n = buffer.frameLength();
  const float* left = channel(buffer, 0);
  const float* right = channel(buffer, 1);
  if (n <= 0 || left == nullptr || buffer.format().isInterleaved()) return;
  if (!anchorHost_) setAnchor(hostSeconds);

  const bool resync = resyncNext_;
  resyncNext_ = false;
  if (resync) {
    // Sound that arrives after its place was handed on (a source that delivers
    // in large blocks, or late) is taken whole at the end of the stream rather
    // than cut, and what follows it keeps that delay until the next resync.
    const double late = static_cast<double>(emittedSamples_) / kSampleRate - (hostSeconds - *anchorHost_);
    delay_ = std::max(late, 0.0);
  }
  // Positive: the buffer starts after the end of the stream (a gap); negative: an overlap.
  const double error = (hostSeconds + delay_ - *anchorHost_) * kSampleRate - static_cast<double>(emittedSamples_);
  const double limit = resync ? kResyncLimit : kDriftLimit;

  int64_t skip = 0;
  bool repeatFirst = false;
  if (error > limit) {
    insertSilence(nearest(error));
    smoothedError_ = 0;
  } else if (error < -limit) {
    const int64_t cut = std::min(nearest(-error), n);
    skip = cut;
    n -= cut;
    smoothedError_ = 0;
    if (n == 0) return;
  } else {
    smoothedError_ = (1 - kDriftSmoothing) * smoothedError_ + kDriftSmoothing * error;
    if (smoothedError_ > kDriftThreshold) {
      smoothedError_ -= 1;
      repeatFirst = true;
    } else if (smoothedError_ < -kDriftThreshold && n >= 2) {
      smoothedError_ += 1;
      skip = 1;
      n -= 1;
    }
  }

  auto out = platform::PCMBuffer::make(outputFormat(), static_cast<uint32_t>(n + 1));
  if (!out || out->floatChannelData() == nullptr) return;
  float* const* dst = out->floatChannelData();
  const float* src[2] = {left, right};
  const int64_t lead = repeatFirst ? 1 : 0;
  for (int c = 0; c < 2; ++c) {
    if (repeatFirst) dst[c][0] = src[c][skip];
    std::memcpy(dst[c] + lead, src[c] + skip, static_cast<size_t>(n) * sizeof(float));
  }
  out->setFrameLength(static_cast<uint32_t>(n + lead));
  emit(out);
}

void ProgramAudioTimeline::insertSilence(int64_t frames) {
  // Silence before the anchor belongs nowhere.
  if (!anchorHost_) return;
  while (frames > 0) {
    const int64_t k = std::min(frames, kMaxSilenceBuffer);
    auto buffer = platform::PCMBuffer::make(outputFormat(), static_cast<uint32_t>(k));
    if (!buffer) return;
    buffer->setFrameLength(static_cast<uint32_t>(k));
    buffer->zero();
    handOn(buffer);
    frames -= k;
  }
}

void ProgramAudioTimeline::emit(const platform::PCMBufferRef& buffer) {
  if (!anchorHost_ || !buffer) return;
  const int64_t n = buffer->frameLength();
  float* const* data = buffer->floatChannelData();
  if (data != nullptr) {
    const uint32_t channels = buffer->bufferCount();
    if (muted_) {
      buffer->zero();
    } else if (fadeInRemaining_ > 0) {
      const int64_t ramp = std::min(n, fadeInRemaining_);
      for (int64_t i = 0; i < ramp; ++i) {
        const float gain = static_cast<float>(1.0 - static_cast<double>(fadeInRemaining_ - i) / static_cast<double>(kFadeInFrames));
        for (uint32_t c = 0; c < channels; ++c) data[c][i] *= gain;
      }
      fadeInRemaining_ = std::max<int64_t>(fadeInRemaining_ - n, 0);
    }
  }
  handOn(buffer);
}

platform::AudioTime ProgramAudioTimeline::stampForNextFrame() const {
  const double host = *anchorHost_ + static_cast<double>(emittedSamples_) / kSampleRate;
  return platform::AudioTime::with(static_cast<platform::Nanos>(std::llround(host * 1e9)),
                                   anchorSample_ + emittedSamples_, kSampleRate);
}

void ProgramAudioTimeline::handOn(const platform::PCMBufferRef& buffer) {
  const platform::AudioTime time = stampForNextFrame();
  emittedSamples_ += buffer->frameLength();
  if (output_) output_(buffer, time);
}

}  // namespace quarzadel
