#include "Quarzadel/Studio/MediaGate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace quarzadel {

void MediaGate::append(const platform::SampleBufferRef& video) {
  if (!video) return;
  double time = video->presentationTime().seconds();
  std::shared_ptr<MediaSink> sink;
  {
    std::lock_guard guard(lock_);
    switch (phase_) {
      case Phase::closed:
        return;
      case Phase::waitingForVideo:
        phase_ = Phase::open;
        start_ = time;
        break;
      case Phase::open:
        if (time < start_) return;
        break;
    }
    ++videoFrames_;
    ++videoFramesSinceArm_;
    sink = sink_;
  }
  sink->append(video);
}

void MediaGate::append(const platform::PCMBufferRef& audio, const platform::AudioTime& when) {
  if (!audio) return;
  std::shared_ptr<MediaSink> sink;
  double start = 0;
  {
    std::lock_guard guard(lock_);
    if (phase_ != Phase::open) return;
    sink = sink_;
    start = start_;
  }
  double threshold = start + kSoundOffset;
  double rate = when.sampleRate;
  if (!(rate > 0)) return;
  double t0 = when.hostSeconds();
  uint32_t n = audio->frameLength();
  double end = t0 + n / rate;
  if (threshold >= end) return;
  if (t0 >= threshold) {
    sink->append(audio, when);
    return;
  }
  int64_t skip = std::llround((threshold - t0) * rate);
  skip = std::clamp<int64_t>(skip, 0, static_cast<int64_t>(n) - 1);
  uint32_t keep = n - static_cast<uint32_t>(skip);
  auto trimmed = platform::PCMBuffer::make(audio->format(), keep);
  if (!trimmed) return;
  float* const* from = audio->floatChannelData();
  float* const* to = trimmed->floatChannelData();
  if (!from || !to) return;
  uint32_t stride = audio->stride();
  for (uint32_t b = 0; b < audio->bufferCount(); ++b)
    std::memcpy(to[b], from[b] + static_cast<size_t>(skip) * stride, sizeof(float) * keep * stride);
  trimmed->setFrameLength(keep);
  platform::AudioTime at = when;
  at.hostTime = static_cast<platform::Nanos>(std::llround((t0 + skip / rate) * 1e9));
  at.sampleTime = when.sampleTime + skip;
  sink->append(trimmed, at);
}

void MediaGate::arm(std::shared_ptr<MediaSink> sink) {
  std::lock_guard guard(lock_);
  phase_ = Phase::waitingForVideo;
  sink_ = std::move(sink);
  videoFramesSinceArm_ = 0;
}

void MediaGate::close() {
  std::shared_ptr<MediaSink> dropped;
  std::lock_guard guard(lock_);
  phase_ = Phase::closed;
  dropped = std::move(sink_);
}

bool MediaGate::isOpen() const {
  std::lock_guard guard(lock_);
  return phase_ == Phase::open;
}

int64_t MediaGate::videoFramesSinceArm() const {
  std::lock_guard guard(lock_);
  return videoFramesSinceArm_;
}

int64_t MediaGate::takeVideoFrames() {
  std::lock_guard guard(lock_);
  return std::exchange(videoFrames_, 0);
}

}  // namespace quarzadel
