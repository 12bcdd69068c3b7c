#include "Medley/Sources/Extension/PCMBufferExtensions.h"

#include <cstring>

#include "Medley/Sources/Util/MedleyLogger.h"

namespace medley {

namespace {

bool sameLayout(const platform::AudioFormat& a, const platform::AudioFormat& b) {
  return a.isPCM() && b.isPCM() && a.commonFormat() == b.commonFormat() &&
         a.commonFormat() != platform::CommonFormat::other && a.channelCount() == b.channelCount() &&
         a.isInterleaved() == b.isInterleaved();
}

}  // namespace

bool copy(platform::PCMBuffer& destination, const platform::AudioBuffer& source) {
  const auto* other = dynamic_cast<const platform::PCMBuffer*>(&source);
  if (other == nullptr || other->frameLength() != destination.frameLength()) return false;
  if (!sameLayout(destination.format(), other->format())) return false;
  const size_t bytes = size_t{destination.frameLength()} * destination.bytesPerFrameInBuffer();
  for (uint32_t i = 0; i < destination.bufferCount(); ++i) {
    if (bytes > 0) std::memmove(destination.rawChannelData()[i], other->rawChannelData()[i], bytes);
  }
  return true;
}

platform::PCMBuffer& muted(platform::PCMBuffer& buffer, bool flag) {
  if (flag) buffer.zero();
  return buffer;
}

platform::MediaTime makeTime(const platform::AudioTime& time) { return platform::MediaTime::fromNanos(time.hostTime); }

platform::SampleBufferRef makeSampleBuffer(const platform::PCMBuffer& buffer, const platform::AudioTime& when) {
  const auto& format = buffer.format();
  auto description = platform::FormatDescription::makeAudio(format);
  const size_t frameBytes = format.bytesPerSample() * size_t{format.channelCount()};
  if (!description || frameBytes == 0) {
    MEDLEY_LOG_WARN("CMAudioSampleBufferCreateWithPacketDescriptions returned error:", format.description());
    return nullptr;
  }
  const uint32_t frames = buffer.frameLength();
  const size_t blockBytes = size_t{frames} * buffer.bytesPerFrameInBuffer();
  auto block = platform::BlockBuffer::allocate(frameBytes * frames);
  for (uint32_t i = 0; i < buffer.bufferCount(); ++i) {
    if (blockBytes > 0) std::memcpy(block.mutableData() + i * blockBytes, buffer.rawChannelData()[i], blockBytes);
  }
  platform::SampleTiming timing;
  timing.presentationTime = makeTime(when);
  if (format.sampleRate() >= 1 && format.sampleRate() <= INT32_MAX)
    timing.duration = platform::MediaTime(frames, static_cast<int32_t>(format.sampleRate()));
  auto sample = platform::SampleBuffer::makeData(std::move(block), std::move(description), timing, frames, {frameBytes});
  if (!sample) {
    MEDLEY_LOG_WARN("CMAudioSampleBufferCreateWithPacketDescriptions returned error:", format.description());
  }
  return sample;
}

}  // namespace medley
