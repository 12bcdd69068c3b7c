#include "Medley/Sources/Extension/SampleBufferExtensions.h"

#include <cstring>

namespace medley {

bool isNotSync(const platform::SampleBuffer& sampleBuffer) {
  return sampleBuffer.attachments(0).notSync;
}

void setNotSync(platform::SampleBuffer& sampleBuffer, bool notSync) {
  sampleBuffer.setNotSync(notSync);
}

bool isCompressed(const platform::FormatDescription* description) {
  return description != nullptr && !platform::isPixelFormatCode(description->mediaSubType());
}

int32_t copyPCMData(const platform::SampleBuffer& sampleBuffer, uint32_t frameOffset, uint32_t frames,
                    platform::PCMBuffer& destination) {
  const auto& description = sampleBuffer.formatDescription();
  const auto* asbd = description ? description->streamBasicDescription() : nullptr;
  const auto* data = sampleBuffer.dataBuffer();
  if (asbd == nullptr || data == nullptr || asbd->formatID != platform::audioFormatID::linearPCM) return -1;

  const auto& to = destination.format();
  const bool interleaved = (asbd->formatFlags & platform::audioFormatFlags::isNonInterleaved) == 0;
  const uint32_t sampleBytes = (asbd->bitsPerChannel + 7) / 8;
  const uint32_t channels = asbd->channelsPerFrame;
  if (sampleBytes == 0 || sampleBytes != to.bytesPerSample() || channels != to.channelCount() ||
      interleaved != to.isInterleaved())
    return -1;
  // Only packed samples can be copied byte for byte.
  if (asbd->bytesPerFrame != (interleaved ? sampleBytes * channels : sampleBytes)) return -1;

  const uint64_t total = sampleBuffer.numSamples();
  if (uint64_t{frameOffset} + frames > total || frames > destination.frameCapacity()) return -1;

  const size_t runBytes = size_t{frames} * destination.bytesPerFrameInBuffer();
  const size_t planeBytes = size_t(total) * destination.bytesPerFrameInBuffer();
  const size_t offsetBytes = size_t{frameOffset} * destination.bytesPerFrameInBuffer();
  if (planeBytes * destination.bufferCount() > data->size()) return -1;
  for (uint32_t i = 0; i < destination.bufferCount(); ++i) {
    if (runBytes > 0) std::memcpy(destination.rawChannelData()[i], data->data() + i * planeBytes + offsetBytes, runBytes);
  }
  return 0;
}

}  // namespace medley
