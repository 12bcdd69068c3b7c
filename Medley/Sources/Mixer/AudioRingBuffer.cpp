#include "Medley/Sources/Mixer/AudioRingBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/Extension/SampleBufferExtensions.h"
#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

namespace {

bool sameLayout(const platform::AudioFormat& a, const platform::AudioFormat& b) {
  return a.commonFormat() == b.commonFormat() && a.channelCount() == b.channelCount() &&
         a.isInterleaved() == b.isInterleaved();
}

// Owed silence is only a counter, but keep it far from overflow for absurd time jumps.
constexpr int64_t kMaxSkip = int64_t{1} << 40;

}  // namespace

std::unique_ptr<AudioRingBuffer> AudioRingBuffer::make(const platform::AudioFormat& format, uint32_t bufferCounts) {
  if (bufferCounts == 0 || bufferCounts > kMaxBufferCounts) return nullptr;
  if (!format.isPCM() || format.commonFormat() == platform::CommonFormat::other) return nullptr;
  auto staging = platform::PCMBuffer::make(format, kFramesPerBuffer);
  auto ring = platform::PCMBuffer::make(format, bufferCounts * kFramesPerBuffer);
  if (!staging || !ring) return nullptr;
  ring->setFrameLength(ring->frameCapacity());
  ring->zero();
  return std::unique_ptr<AudioRingBuffer>(new AudioRingBuffer(format, std::move(staging), std::move(ring)));
}

AudioRingBuffer::AudioRingBuffer(platform::AudioFormat format, platform::PCMBufferRef staging,
                                 platform::PCMBufferRef ring)
    : inputFormat_(std::move(format)),
      inputBuffer_(std::move(staging)),
      outputBuffer_(std::move(ring)),
      ringLength_(outputBuffer_->frameLength()) {}

void AudioRingBuffer::reset() {
  head_ = 0;
  tail_ = 0;
  stored_ = 0;
  skip_ = 0;
  sampleTime_ = 0;
}

bool AudioRingBuffer::reanchors(int64_t incoming) const {
  return sampleTime_ != 0 && incoming > sampleTime_ && incoming - sampleTime_ > int64_t{ringLength_};
}

void AudioRingBuffer::applyTiming(int64_t incoming) {
  if (sampleTime_ == 0) sampleTime_ = incoming;
  if (reanchors(incoming)) {
    // Owing the gap would hand the consumer all of it at once (an hour of
    // silence on the next render's caller): the time line starts again here.
    const uint64_t count = ++reanchorCount_;
    if (count == 1 || count % 100 == 0) {
      MEDLEY_LOG_WARN("sound " + std::to_string(incoming - sampleTime_) + " frames later than expected, more than the " +
                      std::to_string(ringLength_) + " the ring holds: its time line starts again there (" +
                      std::to_string(count) + " so far)");
    }
    sampleTime_ = incoming;
    return;
  }
  // Gaps add up until a render pays them out; a buffer that overlaps the
  // frames before it is stored without correction.
  const int64_t gap = incoming > sampleTime_ ? incoming - sampleTime_ : 0;
  skip_ = std::min(skip_ + std::min(gap, kMaxSkip), kMaxSkip);
  sampleTime_ += gap;
}

bool AudioRingBuffer::ensureStaging(uint32_t frames) {
  if (inputBuffer_->frameCapacity() < frames) {
    auto larger = platform::PCMBuffer::make(inputFormat_, frames);
    if (!larger) return false;
    inputBuffer_ = std::move(larger);
  }
  return inputBuffer_->setFrameLength(frames);
}

void AudioRingBuffer::swapBytesOfStaging(uint32_t sampleBytes) {
  if (sampleBytes < 2) return;
  const size_t samples = size_t{inputBuffer_->frameLength()} * inputBuffer_->stride();
  for (uint32_t b = 0; b < inputBuffer_->bufferCount(); ++b) {
    uint8_t* p = inputBuffer_->rawChannelData()[b];
    for (size_t i = 0; i < samples; ++i, p += sampleBytes) std::reverse(p, p + sampleBytes);
  }
}

void AudioRingBuffer::writeStaging() {
  const uint32_t frames = inputBuffer_->frameLength();
  sampleTime_ += frames;
  // Only the newest ringLength frames of an over-long write can survive it.
  const uint32_t first = frames > ringLength_ ? frames - ringLength_ : 0;
  uint32_t remaining = frames - first;
  uint32_t offset = first;
  const uint32_t frameBytes = inputBuffer_->bytesPerFrameInBuffer();
  while (remaining > 0) {
    const uint32_t n = std::min(ringLength_ - head_, remaining);
    for (uint32_t b = 0; b < outputBuffer_->bufferCount(); ++b) {
      std::memcpy(outputBuffer_->rawChannelData()[b] + size_t{head_} * frameBytes,
                  inputBuffer_->rawChannelData()[b] + size_t{offset} * frameBytes, size_t{n} * frameBytes);
    }
    head_ = (head_ + n) % ringLength_;
    offset += n;
    remaining -= n;
  }
  stored_ += frames - first;
  if (stored_ > ringLength_) {
    // The oldest frames were overwritten: the next render starts at the oldest survivor.
    stored_ = ringLength_;
    tail_ = head_;
  }
}

void AudioRingBuffer::append(const platform::SampleBuffer& sampleBuffer) {
  const auto& description = sampleBuffer.formatDescription();
  const auto* asbd = description ? description->streamBasicDescription() : nullptr;
  if (asbd == nullptr || asbd->formatID != platform::audioFormatID::linearPCM || !sampleBuffer.dataBuffer()) return;

  const auto pts = sampleBuffer.presentationTime();
  const double rate = inputFormat_.sampleRate();
  int64_t incoming = 0;
  if (pts.isNumeric()) {
    if (pts.timescale == static_cast<int32_t>(rate)) {
      incoming = pts.value;
    } else {
      const double t = rate * static_cast<double>(pts.value) / pts.timescale;
      incoming = t > 9e18 || t < -9e18 ? 0 : static_cast<int64_t>(t);
    }
  }
  const size_t numSamples = sampleBuffer.numSamples();
  if (numSamples > ringLength_) {
    // Longer than the whole ring: replaced by silence of its length.
    applyTiming(incoming);
    skip_ = std::min(skip_ + static_cast<int64_t>(numSamples), kMaxSkip);
    sampleTime_ += static_cast<int64_t>(numSamples);
    return;
  }
  const auto frames = static_cast<uint32_t>(numSamples);
  applyTiming(incoming);
  if (!ensureStaging(frames)) {
    skip_ = std::min(skip_ + frames, kMaxSkip);
    sampleTime_ += frames;
    return;
  }
  if (copyPCMData(sampleBuffer, 0, frames, *inputBuffer_) == 0) {
    if (asbd->formatFlags & platform::audioFormatFlags::isBigEndian) swapBytesOfStaging(inputFormat_.bytesPerSample());
  } else {
    // Unreadable samples become silence, never the staging buffer's older contents.
    inputBuffer_->zero();
  }
  writeStaging();
}

void AudioRingBuffer::append(const platform::PCMBuffer& buffer, const platform::AudioTime& when) {
  const uint32_t frames = buffer.frameLength();
  applyTiming(when.sampleTime);
  if (!ensureStaging(frames)) {
    skip_ = std::min(skip_ + frames, kMaxSkip);
    sampleTime_ += frames;
    return;
  }
  if (!copy(*inputBuffer_, buffer)) inputBuffer_->zero();
  writeStaging();
}

int32_t AudioRingBuffer::render(uint32_t frames, platform::PCMBuffer* ioData, uint32_t offset) {
  if (ioData == nullptr || !sameLayout(ioData->format(), inputFormat_)) return kNothingToRender;
  if (uint64_t{offset} + frames > ioData->frameCapacity()) return kNothingToRender;
  if (skip_ == 0 && stored_ == 0) return kNothingToRender;

  const uint32_t frameBytes = ioData->bytesPerFrameInBuffer();
  auto zero = [&](uint32_t at, uint32_t n) {
    if (n == 0) return;
    for (uint32_t b = 0; b < ioData->bufferCount(); ++b)
      std::memset(ioData->rawChannelData()[b] + size_t{at} * frameBytes, 0, size_t{n} * frameBytes);
  };

  const auto silence = static_cast<uint32_t>(std::min<int64_t>(skip_, frames));
  zero(offset, silence);
  skip_ -= silence;
  uint32_t at = offset + silence;
  uint32_t wanted = frames - silence;

  auto fromRing = static_cast<uint32_t>(std::min<int64_t>(stored_, wanted));
  stored_ -= fromRing;
  wanted -= fromRing;
  while (fromRing > 0) {
    const uint32_t n = std::min(ringLength_ - tail_, fromRing);
    for (uint32_t b = 0; b < ioData->bufferCount(); ++b) {
      std::memcpy(ioData->rawChannelData()[b] + size_t{at} * frameBytes,
                  outputBuffer_->rawChannelData()[b] + size_t{tail_} * frameBytes, size_t{n} * frameBytes);
    }
    tail_ = (tail_ + n) % ringLength_;
    at += n;
    fromRing -= n;
  }
  // Never hand out frames that were not stored.
  zero(at, wanted);
  return kNoErr;
}

}  // namespace medley
